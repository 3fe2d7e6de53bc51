// The thread pool: background work while the main thread serves clients.
//
// A ThreadPool owns a management thread and worker threads. Work goes in
// through named Tasks, each with one of four priorities (3 is served first);
// the results that work items post are collected by their task and, for an
// ordered task, handed out strictly in submission order although the items
// finish in any order. A task of a pool without threads runs its items
// inline in the submitting thread, so the same code works single-threaded.
//
// Threads: pools, tasks and results may be used from any thread. Pool
// threads start with every signal blocked, so process signals reach the
// main thread. Every wait of the pool is a predicate loop under the pool's
// one mutex, so no wake-up can be lost.
#pragma once

#include <pthread.h>

#include "base/queue.h"
#include "base/strings.h"

namespace palvon {

struct Task;
struct TaskItem;
struct ThreadPool;

// Runs one work item; item identifies it for taskPostResult and taskRunSub
// and is valid only during the call.
using TaskFunction = void (*)(void* argument, TaskItem* item);

enum : u32 { kWorkerBusy = 0, kWorkerIdle = 1, kWorkerStop = 2 };
constexpr u32 kPoolStop = 2;
constexpr int kTaskPriorities = 4;

struct PoolWorker {
  pthread_t thread;
  u32 kind;            // 0; kind 1 is counted but never started
  ThreadPool* pool;
  u32 state;           // kWorkerBusy (or woken), kWorkerIdle, kWorkerStop
  pthread_cond_t wake; // waited on under pool->mutex
  TaskItem* running;   // the item being run, nullptr when none
};

struct ThreadPool {
  ThreadPool* next;   // the global list of pools
  ThreadPool* previous;
  Queue* workers;                  // PoolWorker*
  Queue* queues[kTaskPriorities];  // TaskItem* per priority
  u32 kind0Count, kind0Limit, kind1Count, kind1Limit;
  u32 effectiveCount;  // kind0Count scaled by ZAVthreadFactor
  double factor;       // ZAVthreadFactor at creation, 0 when unset
  // Guards the counts, limits, state, the workers' states and every queue
  // change; the manager, the workers and taskFinish wait under it.
  pthread_mutex_t mutex;
  pthread_t manager;
  pthread_t creator;
  u32 state;  // kPoolStop when stopping
  pthread_cond_t managementCondition;
  bool managementWake;     // set with every signal of the condition
  pthread_cond_t taskReady;  // broadcast whenever a work item has finished
};

struct Task {
  char* name;
  ThreadPool* pool;
  bool threaded;
  bool ordered;
  bool lockedReading;
  u32 priority;
  u64 nextSequence;      // under resultsMutex
  u64 expectedSequence;  // the next result an ordered task hands out
  u64 lastTaken;         // the last one handed out, valid when anyTaken
  bool anyTaken;
  pthread_mutex_t resultsMutex;  // recursive; taken after results->mutex
  u64 pending;      // submitted and not yet returned
  u64 outstanding;  // submitted items minus posted results
  pthread_mutex_t pendingMutex;  // guards pending and outstanding
  pthread_mutex_t readerMutex;   // one reader at a time (locked reading)
  Queue* results;                // TaskResult*, ordered tasks by sequence
};

struct TaskItem {
  TaskFunction function;
  void* argument;
  u64 sequence;
  Task* task;
};

struct TaskResult {
  void* value;
  u64 sequence;
};

struct TaskResults {
  void** values;  // owned; nullptr when count is 0
  u32 count;
  Task* task;     // nullptr for the results of taskFinish
};

// Task flags: a priority (kTaskPriority1 wins, then 0, 2, 3; none gives 0),
// threaded (honoured only when the pool may have threads), ordered results,
// and locked reading (one reader holds the results until it releases them).
enum : u32 {
  kTaskPriority0 = 1,
  kTaskPriority1 = 2,
  kTaskPriority2 = 4,
  kTaskPriority3 = 8,
  kTaskThreaded = 16,
  kTaskOrdered = 32,
  kTaskLockedReading = 64,
};

const char* threadPoolCreate(u32 kind0Limit, u32 kind1Limit, ThreadPool** pool);
void threadPoolSetLimits(ThreadPool* pool, u32 kind0Limit, u32 kind1Limit);
// Sets the limits and lets the manager start or stop workers now.
void threadPoolSetThreads(ThreadPool* pool, u32 kind0Limit, u32 kind1Limit);
// Creates the process's default pool with n threads, or sets its thread
// count to n. nullptr or the error text of threadPoolCreate.
const char* threadPoolSetDefaultThreads(u32 n);
ThreadPool* threadPoolDefault();  // nullptr until threadPoolSetDefaultThreads
u32 threadPoolGetThreads(ThreadPool* pool);
// Stops and joins the manager and every worker and frees the pool. Every
// task of the pool must be finished or cancelled first.
void threadPoolDestroy(ThreadPool* pool);
ThreadPool* threadPoolFindByThread(pthread_t thread);
u32 threadPoolBusyWorkers(ThreadPool* pool);
u64 threadPoolQueuedItems(ThreadPool* pool);

// pool nullptr makes an inline task. nullptr or an error text.
const char* taskCreate(ThreadPool* pool, const char* name, u32 flags, Task** task);
const char* taskRun(Task* task, TaskFunction function, void* argument);
const char* taskRunSub(TaskItem* item, TaskFunction function, void* argument);
// Queues a result of the item's task. status: 2 when every submitted item
// has posted, 1 when results are ready to be taken, 0 otherwise.
const char* taskPostResult(TaskItem* item, void* value, u32* status);
// The results ready now; nullptr when none (or no memory). For a locked-
// reading task the reader lock is held until taskResultsRelease.
TaskResults* taskTakeResults(Task* task);
// The same, but the record is returned even when it holds no results.
TaskResults* taskItemTakeResults(TaskItem* item);
// Without waiting for another reader: nullptr with *error nullptr when one
// holds the results or there are none, with an error text when out of memory.
TaskResults* taskItemTryTakeResults(TaskItem* item, const char** error);
void taskResultsRelease(TaskResults* results);
u64 taskPending(Task* task);
u64 taskResultCount(Task* task);
// 1 when the waiting results or the pending items exceed the pool's
// effective thread count: the producer should wait (taskWaitSome).
int taskIsSaturated(Task* task);
// Waits once, briefly, for an item of the pool to finish.
void taskWaitSome(Task* task);
// Waits until no item is pending, returns every result not yet taken and
// frees the task. Never hangs on a pool whose threads were taken away: the
// task's queued items are then run by the caller.
TaskResults* taskFinish(Task* task);
// Drops the task's items that have not started, then taskFinish.
TaskResults* taskCancel(Task* task);

// 1 for a pool's creator, 2 for its manager, 3 and up for its workers,
// otherwise the raw thread id.
u64 threadIndex();
// Which thread this is, for log lines. A temporary string.
const char* threadDescribe();
void mutexInitRecursive(pthread_mutex_t* mutex);

}  // namespace palvon
