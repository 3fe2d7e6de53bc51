// Work that may block for long (a host-name look-up, which waits for a
// name server) run beside the event loop, so that the clients the loop
// serves never wait for it: the work runs on a thread of its own, and its
// end comes back to the loop's thread, where `done` runs from a descriptor
// order like any other callback.
//
// A thread per job, not a pool of a few: a look-up that never ends must not
// hold another's up behind it.
//
// Main thread only, except the work itself, which must touch nothing but
// its argument. A step that must have the answer before it goes on waits
// for it with awaitBesideLoop, up to a deadline of its own, so that the
// wait is bounded even when the work is not.
#pragma once

namespace palvon {

struct BesideJob;

using BesideWork = void (*)(void* argument);
// `wanted` is false for a dropped job; done owns the argument either way.
using BesideDone = void (*)(void* argument, bool wanted);

// Starts work(argument); done(argument, wanted) follows on the loop's
// thread. Null when no thread could be started (nothing ran).
BesideJob* runBesideLoop(BesideWork work, BesideDone done, void* argument);

// Starts work(argument) as runBesideLoop does and waits for its end until
// deadlineMs (fdMonotonicMs's clock): true when it ended by then, and the
// argument holds its answer until done(argument, true) follows on the
// loop's thread. False when the deadline came first (done then gets
// `wanted` false once the work ends) or no thread could be started (done
// has run already).
bool awaitBesideLoop(BesideWork work, BesideDone done, void* argument, long long deadlineMs);

// The answer is no longer wanted: done gets `wanted` false once the work
// has ended. The job pointer is not to be used again.
void dropBesideJob(BesideJob* job);

}  // namespace palvon
