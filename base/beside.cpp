#include "base/beside.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "base/fd.h"
#include "base/logging.h"
#include "base/orders.h"

namespace palvon {

struct BesideJob {
  BesideWork work;
  BesideDone done;
  void* argument;
  bool wanted;  // the loop's thread alone reads and writes it
  // For a step that waits for the end (awaitBesideLoop).
  std::mutex lock;
  std::condition_variable endedSignal;
  bool ended;
};

namespace {

// Ended jobs come back through a pipe, one pointer per write (atomic, as
// it is shorter than a pipe's buffer); the loop reads it.
int wakeRead = -1, wakeWrite = -1;
Order* wakeOrder = nullptr;

void onJobsEnded(void*) {
  BesideJob* ended[64];
  for (;;) {
    ssize_t got = read(wakeRead, ended, sizeof ended);
    if (got <= 0) return;
    for (size_t k = 0; k < size_t(got) / sizeof ended[0]; k++) {
      BesideJob* job = ended[k];
      job->done(job->argument, job->wanted);
      delete job;
    }
  }
}

void* runJob(void* argument) {
  auto* job = static_cast<BesideJob*>(argument);
  job->work(job->argument);
  {
    std::lock_guard<std::mutex> held(job->lock);
    job->ended = true;
  }
  job->endedSignal.notify_one();
  // The write end blocks: a loop that is busy only delays the hand-over.
  while (write(wakeWrite, &job, sizeof job) < 0 && errno == EINTR) {
  }
  return nullptr;
}

bool openWakePipe() {
  if (wakeOrder) return true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  wakeOrder = orderAddFd(fds[0], onJobsEnded, nullptr);
  if (!wakeOrder) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  wakeRead = fds[0], wakeWrite = fds[1];
  return true;
}

}  // namespace

BesideJob* runBesideLoop(BesideWork work, BesideDone done, void* argument) {
  if (!openWakePipe()) return nullptr;
  auto* job = new (std::nothrow) BesideJob{work, done, argument, true, {}, {}, false};
  if (!job) return nullptr;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  // Process signals stay the main thread's: the thread starts with all of
  // them blocked.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  int rc = pthread_create(&thread, &attributes, runJob, job);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    LOGF(logChError, "Can't start a thread: %s", errnoText(rc));
    delete job;
    return nullptr;
  }
  return job;
}

bool awaitBesideLoop(BesideWork work, BesideDone done, void* argument, long long deadlineMs) {
  BesideJob* job = runBesideLoop(work, done, argument);
  if (!job) {
    done(argument, false);
    return false;
  }
  // The job lives until its done has run on this thread, after this wait.
  bool ended;
  {
    std::unique_lock<std::mutex> held(job->lock);
    long long left = deadlineMs - fdMonotonicMs();
    ended = job->endedSignal.wait_for(held, std::chrono::milliseconds(left > 0 ? left : 0),
                                      [job] { return job->ended; });
  }
  if (!ended) dropBesideJob(job);
  return ended;
}

void dropBesideJob(BesideJob* job) {
  if (job) job->wanted = false;
}

}  // namespace palvon
