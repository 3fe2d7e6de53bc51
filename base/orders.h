// The single-threaded event loop of the proxy. Everything the main thread does
// is the callback of an order: idle work run on every turn, a descriptor
// watched for reading or writing, a one-shot timer, or an idle timer that
// fires whenever the loop has waited its period without descriptor activity.
//
// Descriptors are waited for with epoll, so a step costs what is ready, not
// what is registered: a session with hundreds of idle clients answers its
// busy one as fast as it would alone. Several orders may watch one
// descriptor (a reader and a writer, say); each is called when its own
// direction is ready, or on an error or hang-up, as poll() would report.
//
// Only the main thread may register, cancel or run orders. A callback may
// register new orders and cancel any order, its own included: a cancelled
// record stays linked (and is never called again) until a later walk of its
// list frees it, so an Order* stays valid until the current callback returns.
// A one-shot timer that has fired is freed in a later step: drop the pointer
// once its callback ran. ordersRun is not re-entrant: never call it from
// inside a callback.
#pragma once

#include <poll.h>

#include "base/strings.h"

namespace palvon {

using OrderCallback = void (*)(void* argument);

// One registration. Callers keep the pointer only to cancel it.
struct Order {
  Order* next;
  Order* previous;         // the head's previous is the tail
  OrderCallback callback;  // nullptr: cancelled or spent
  void* argument;
  Order* nextOnFd;         // descriptor orders: the others on the same descriptor
  Order* nextCancelled;    // descriptor orders cancelled since the step began
  int descriptor;          // -1 for every other order
  short events;            // POLLIN, POLLOUT or POLLRDHUP (the peer's end only)
  u64 time;                // one-shot: ms left; idle timer: period; idle: all ones
  u64 serial;              // registration number, so a timer walk skips newcomers
};

constexpr u64 kOrdersMaxWait = 3600000;  // one hour: the wait with no timer

// Empties the poll table and forgets a pending stop; orders are not touched.
void ordersInit();
// Each returns the new order, or nullptr after an "Out of memory" report.
// An idle order runs at the start of every step; one registered by idle
// work runs at the next step, whose poll then only looks.
Order* orderAddIdle(OrderCallback callback, void* argument);
Order* orderAddFd(int descriptor, OrderCallback callback, void* argument);       // readable
Order* orderAddFdWrite(int descriptor, OrderCallback callback, void* argument);  // writable
// The peer's end: called once the peer of a socket has hung up (closed it,
// or shut its writing down) or the descriptor fails, never for the bytes
// waiting in it, which stay unread and wake nothing. The callback must end
// the watch (cancel it or close the descriptor): the end is reported on
// every step until then.
Order* orderAddFdHangup(int descriptor, OrderCallback callback, void* argument);
// 1 when a live order watches the descriptor for reading.
int orderFdWatched(int descriptor);
Order* orderAddTimer(u64 milliseconds, OrderCallback callback, void* argument);
// An idle timer: fires each time a step's poll timed out after a wait of at
// least the period, and stays registered until cancelled.
Order* orderAddTimerSorted(u64 milliseconds, OrderCallback callback, void* argument);
void orderCancel(Order* order);  // nullptr is ignored
u64 orderTime(const Order* order);

// One step waiting at most maxWait ms; the stop value when a stop was seen,
// else 0.
u64 ordersRun(u64 maxWait);
// Clears the stop value and runs steps until one returns non-zero.
u64 ordersMainLoop();
// Steps until the loop clock has advanced by milliseconds or a stop is seen.
u64 ordersRunFor(u64 milliseconds);
// Makes the next step return value from its idle pass. Allocates nothing and
// takes no lock, so a signal handler may call it.
void ordersStop(u64 value);
void ordersFreeAll();
void orderNoop(void* argument);

// The loop's clock (milliseconds, monotonic by default) and its wait. Tests
// install a fake pair to step time instead of sleeping; nullptr restores the
// default (epoll). A fake wait gets a table of every live descriptor order
// on each step. The loop clock is re-read at the next step.
using OrdersClock = u64 (*)();
using OrdersPoll = int (*)(pollfd* table, nfds_t count, int timeoutMs);
void ordersSetClock(OrdersClock clock);
void ordersSetPoll(OrdersPoll poll);
u64 ordersClock();  // the loop clock as read at the end of the last step
u64 ordersClockNow();  // the installed clock read now, between steps too
// Re-reads the loop clock without ageing the timers: the time the main thread
// just spent blocked outside the loop's wait (a blocking connect, the sleep
// between two runs) counts as no time at all. Timers armed before keep their
// time left, and what is stamped afterwards (a server's last traffic, a
// resend deadline) is stamped with the real time.
void ordersSkipBlockedTime();

// Descriptor orders not cancelled, for diagnostics.
u32 ordersWatchCount();

}  // namespace palvon
