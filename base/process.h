// Processes and signals: starting programs with a clean signal state, shell
// pipes with a set-up hook in the child, polling and reaping children,
// per-signal handler stacks with a wait-for-signal handshake, a nested
// alarm, resource limits, switching user, and texts about the host, the user
// and the limits for the log.
//
// Only the main thread spawns programs and pushes or pops handlers; the
// handlers installed here only set or clear flags. Descriptors made here for
// children are close-on-exec, so no started program inherits another's pipe.
#pragma once

#include <cstdio>
#include <sys/types.h>

#include "base/strings.h"

namespace palvon {

using SignalHandler = void (*)(int signal);

// The longest shell command processShellExec accepts.
constexpr size_t kShellCommandMax = 8192;

// Forks and execvp's argv[0] with argv[0..argc-1] in a child whose signals
// are back at their defaults. The child's pid, or 0 after "Out of processes".
// A child whose program cannot be started ends with status 127. With a
// parentDeathSignal the child gets that signal when this process ends,
// however it ends (a server it started must not outlive it).
pid_t processSpawn(int argc, char* const* argv, int parentDeathSignal = 0);
// Replaces the process by "/bin/sh -c 'exec command'". Returns only on
// failure, with "execl(%s) failed: %s"; a command too long for the shell's
// buffer is refused the same way without running anything.
const char* processShellExec(const char* command);
// Runs command through the shell with its standard output ("r") or input
// ("w") on a pipe; setup(argument), when not null, runs in the child before
// the exec. The child's other standard descriptors lead to /dev/null. The
// stream, or nullptr when the pipe, the fork or fdopen fails.
FILE* processPopen(const char* command, const char* mode, void (*setup)(void*), void* argument);
void processPopenKill(FILE* stream);
// Closes the stream and reaps its child. 1, or 0xFFFFFFFF for a stream that
// processPopen did not make.
u32 processPclose(FILE* stream);
// Without blocking: 1 with the exit code when the child exited normally,
// 1 with code 1 when there is no such child; 0 while it runs, when it ended
// by a signal, or on another error.
int processPoll(pid_t pid, int* exitCode);
// Waits for a child. nullptr when it was reaped or no longer exists, else
// "waitpid(%d) failed: %s".
const char* processWait(pid_t pid);
// "%s exited with code %d: %s%s" with the rest of the child's output (lines
// joined by blanks, at most 1,024 characters kept; output may be nullptr)
// and a hint for the codes 126, 127 and 130. A temporary string.
const char* processExitText(const char* program, int exitCode, FILE* output);
// kill(pid, signal); a pid of 0 or below is refused (-1, errno ESRCH).
int processKill(int signal, pid_t pid);
// SIGTERM, then waits at most kTerminateWaitMs for the process to go; one
// that stays is killed with SIGKILL and waited for again, as long. nullptr
// when it is gone, else "waitpid(%d) failed: %s".
constexpr u32 kTerminateWaitMs = 3000;
const char* processTerminate(pid_t pid);
void processSetPriority(pid_t pid, int priority);
// Removes the file should this process end without releasing the watch (a
// killed process cannot remove its files itself): a child that holds none
// of this process's descriptors but one end of a pipe, and ends with it,
// removing the file when it is still the one it watched. The child's pid
// with *pipeOut, or 0 when it cannot be started.
pid_t processWatchFile(const char* path, int* pipeOut);
// This process takes care of the file again: the child ends without
// touching it and is reaped.
void processReleaseFile(pid_t child, int pipe);
// Switches to "user" or "user:group" (names, or numbers when they begin with
// a digit): supplementary groups, then the group (the user's own when none
// is given), then the user. Every failure, including an unknown user or
// group, is returned as an error text, and the process must not carry on as
// if it had switched.
const char* processSetUser(const char* userAndGroup);
void processRaiseLimit(int resource);
void processRaiseLimits();  // file size, data segment and open files

// Per-signal stacks of at most kSignalStackDepth handlers above the handler
// that was installed before the first push. signalPush installs the handler
// (without pushing it when the stack is full) and returns the new depth.
constexpr int kSignalStackDepth = 10;
int signalPush(SignalHandler handler, int signal);
// Removes the handler from the stack; when it was the top, the one below
// (or the original handler) is installed again.
void signalPop(SignalHandler handler, int signal);
// The wait-for-signal handshake: arm before the signal can come, then wait.
// A signal that arrives between arming and waiting is not lost.
void signalWaitFlagClear(int signal);
void signalWaitArm(int signal);
void signalWaitFor(int signal);
void signalWait(int signal);
// Arms, sends the signal to pid and waits until the signal comes back;
// returns at once when the signal cannot be sent.
void processSignalAndWait(int signal, pid_t pid);
// A nested one-shot alarm: the first start installs the handler for SIGALRM
// and sets the timer, saving the previous ones; the last stop restores them
// and returns 1 when the alarm flag had been set (clearing it).
void alarmStart(u32 milliseconds, SignalHandler handler);
int alarmStop();
void alarmFlagSet(int signal);

// 1 when name is this host: its name, "localhost", an alias or an address.
int hostIsLocal(const char* name);
int hostImageByteOrder();     // 0: least significant byte first
const char* userLoginName();  // "?" when unknown
const char* userFullName();   // static; "" when none
u32 cpuCount();               // CPUs of the affinity mask; 1 when unreadable
// "8 co, 4 MiB ss, 1024 fds, ..." for the log: the CPUs and the finite
// limits. A temporary string.
const char* limitsText();
// The variable's value followed by suffix (its leading character dropped
// when the value ends in '/'), or "$NAME" and suffix when it is unset. One
// static buffer.
const char* envPath(const char* name, const char* suffix);
void printAtLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace palvon
