#include "base/threadlib.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sched.h>

#include "base/logging.h"

namespace palvon {

namespace {

pthread_mutex_t gPoolsMutex = PTHREAD_MUTEX_INITIALIZER;
ThreadPool* gPools;
u32 gPoolCount;
pthread_mutex_t gDefaultMutex = PTHREAD_MUTEX_INITIALIZER;
ThreadPool* gDefaultPool;

struct Locked {
  explicit Locked(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
  ~Locked() { pthread_mutex_unlock(mutex_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  pthread_mutex_t* mutex_;
};

double threadFactor() {
  const char* text = std::getenv("ZAVthreadFactor");
  if (!text || !*text) return 0;
  double factor = std::strtod(text, nullptr);
  return factor > 0 ? factor : 0;
}

// Under pool->mutex.
void recomputeEffective(ThreadPool* pool) {
  pool->effectiveCount = pool->factor > 0 ? static_cast<u32>(pool->kind0Count * pool->factor) : pool->kind0Count;
}

void signalManager(ThreadPool* pool) {
  pool->managementWake = true;
  pthread_cond_signal(&pool->managementCondition);
}

// Pool threads start with every signal blocked: process signals are the
// main thread's business.
int startThread(pthread_t* thread, void* (*main)(void*), void* argument) {
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  int error = pthread_create(thread, nullptr, main, argument);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return error;
}

// The first item of the highest non-empty priority; under pool->mutex.
TaskItem* takeItem(ThreadPool* pool) {
  for (int priority = kTaskPriorities - 1; priority >= 0; priority--) {
    Queue* queue = pool->queues[priority];
    Locked lock(&queue->mutex);
    if (QueueNode* node = queuePop(queue)) {
      auto* item = static_cast<TaskItem*>(node->data);
      std::free(node);
      return item;
    }
  }
  return nullptr;
}

// The first queued item of one task; under pool->mutex.
TaskItem* takeItemOf(ThreadPool* pool, Task* task) {
  for (int priority = kTaskPriorities - 1; priority >= 0; priority--) {
    Queue* queue = pool->queues[priority];
    Locked lock(&queue->mutex);
    for (QueueNode* node = queueFirst(queue); node; node = node->next) {
      auto* item = static_cast<TaskItem*>(node->data);
      if (item->task != task) continue;
      queueUnlink(node, queue);
      std::free(node);
      return item;
    }
  }
  return nullptr;
}

// An item has returned: under pool->mutex, so that a waiter that saw it
// pending is woken.
void itemDone(ThreadPool* pool, TaskItem* item) {
  {
    Locked lock(&item->task->pendingMutex);
    item->task->pending--;
  }
  std::free(item);
  pthread_cond_broadcast(&pool->taskReady);
}

void* workerMain(void* argument) {
  auto* worker = static_cast<PoolWorker*>(argument);
  ThreadPool* pool = worker->pool;
  pthread_mutex_lock(&pool->mutex);
  while (worker->state != kWorkerStop) {
    if (TaskItem* item = takeItem(pool)) {
      worker->state = kWorkerBusy;
      worker->running = item;
      pthread_mutex_unlock(&pool->mutex);
      item->function(item->argument, item);
      pthread_mutex_lock(&pool->mutex);
      worker->running = nullptr;
      itemDone(pool, item);
      continue;
    }
    worker->state = kWorkerIdle;
    signalManager(pool);
    while (worker->state == kWorkerIdle) pthread_cond_wait(&worker->wake, &pool->mutex);
  }
  pthread_mutex_unlock(&pool->mutex);
  return nullptr;
}

// Under pool->mutex; false when the worker could not be started.
bool startWorker(ThreadPool* pool) {
  auto* worker = static_cast<PoolWorker*>(memCalloc(1, sizeof(PoolWorker)));
  if (!worker) return false;
  worker->pool = pool;
  worker->state = kWorkerBusy;
  if (pthread_cond_init(&worker->wake, nullptr) != 0) {
    std::free(worker);
    return false;
  }
  Locked lock(&pool->workers->mutex);
  if (queueAppend(worker, pool->workers) != nullptr) {
    pthread_cond_destroy(&worker->wake);
    std::free(worker);
    return false;
  }
  if (startThread(&worker->thread, workerMain, worker) != 0) {
    QueueNode* node = pool->workers->tail;
    queueUnlink(node, pool->workers);
    std::free(node);
    pthread_cond_destroy(&worker->wake);
    std::free(worker);
    return false;
  }
  pool->kind0Count++;
  recomputeEffective(pool);
  return true;
}

// Stops one worker: entered and left under pool->mutex, which is let go
// while the thread is joined (it needs the mutex to leave its loop).
void stopWorker(ThreadPool* pool, QueueNode* node) {
  auto* worker = static_cast<PoolWorker*>(node->data);
  worker->state = kWorkerStop;
  pthread_cond_signal(&worker->wake);
  {
    Locked lock(&pool->workers->mutex);
    queueUnlink(node, pool->workers);
  }
  std::free(node);
  pool->kind0Count--;
  recomputeEffective(pool);
  pthread_mutex_unlock(&pool->mutex);
  pthread_join(worker->thread, nullptr);
  pthread_cond_destroy(&worker->wake);
  std::free(worker);
  pthread_mutex_lock(&pool->mutex);
}

// Under pool->mutex: as many kind-0 workers as the limit asks for.
void adjustWorkers(ThreadPool* pool) {
  while (pool->kind0Count < pool->kind0Limit)
    if (!startWorker(pool)) break;  // tried again at the next wake-up
  while (pool->kind0Count > pool->kind0Limit) {
    QueueNode* idle = nullptr;
    for (QueueNode* node = queueFirst(pool->workers); node && !idle; node = node->next)
      if (static_cast<PoolWorker*>(node->data)->state == kWorkerIdle) idle = node;
    if (!idle) break;  // the busy ones are stopped when they go idle
    stopWorker(pool, idle);
  }
}

// Under pool->mutex: one idle worker woken for each queued item.
void dispatchItems(ThreadPool* pool) {
  u64 queued = 0;
  for (Queue* queue : pool->queues) {
    Locked lock(&queue->mutex);
    queued += queue->count;
  }
  for (QueueNode* node = queueFirst(pool->workers); node && queued > 0; node = node->next) {
    auto* worker = static_cast<PoolWorker*>(node->data);
    if (worker->state != kWorkerIdle) continue;
    worker->state = kWorkerBusy;
    pthread_cond_signal(&worker->wake);
    queued--;
  }
}

void* managerMain(void* argument) {
  auto* pool = static_cast<ThreadPool*>(argument);
  pthread_mutex_lock(&pool->mutex);
  while (pool->state != kPoolStop) {
    adjustWorkers(pool);
    dispatchItems(pool);
    while (!pool->managementWake && pool->state != kPoolStop)
      pthread_cond_wait(&pool->managementCondition, &pool->mutex);
    pool->managementWake = false;
  }
  pool->kind0Limit = pool->kind1Limit = 0;
  while (QueueNode* node = queueFirst(pool->workers)) stopWorker(pool, node);
  pthread_mutex_unlock(&pool->mutex);
  return nullptr;
}

void linkPool(ThreadPool* pool) {
  Locked lock(&gPoolsMutex);
  pool->next = gPools;
  if (gPools) gPools->previous = pool;
  gPools = pool;
  gPoolCount++;
}

void unlinkPool(ThreadPool* pool) {
  Locked lock(&gPoolsMutex);
  if (pool->previous) pool->previous->next = pool->next;
  else gPools = pool->next;
  if (pool->next) pool->next->previous = pool->previous;
  gPoolCount--;
}

// Frees what threadPoolCreate made so far (the fields that are set).
void poolFree(ThreadPool* pool, int madeSync) {
  for (Queue* queue : pool->queues) queueDestroy(queue);
  queueDestroy(pool->workers);
  if (madeSync > 0) pthread_mutex_destroy(&pool->mutex);
  if (madeSync > 1) pthread_cond_destroy(&pool->managementCondition);
  if (madeSync > 2) pthread_cond_destroy(&pool->taskReady);
  std::free(pool);
}

}  // namespace

const char* threadPoolCreate(u32 kind0Limit, u32 kind1Limit, ThreadPool** out) {
  *out = nullptr;
  auto* pool = static_cast<ThreadPool*>(memCalloc(1, sizeof(ThreadPool)));
  if (!pool) return PALVON_OOM();
  int made = 0;
  const char* error = nullptr;
  if (int e = pthread_mutex_init(&pool->mutex, nullptr))
    error = tmpPrintf("Could not create management state mutex: %s", errnoText(e));
  else if (++made, (e = pthread_cond_init(&pool->managementCondition, nullptr)))
    error = tmpPrintf("Could not create management condition: %s", errnoText(e));
  else if (++made, (e = pthread_cond_init(&pool->taskReady, nullptr)))
    error = tmpPrintf("Could not create task ready condition: %s", errnoText(e));
  if (error) {
    poolFree(pool, made);
    return error;
  }
  made++;
  for (Queue*& queue : pool->queues)
    if (!(queue = queueCreate())) error = "Could not create task pool";
  if (!error && !(pool->workers = queueCreate())) error = "Could not create thread pool";
  if (error) {
    poolFree(pool, made);
    return error;
  }
  pool->kind0Limit = kind0Limit;
  pool->kind1Limit = kind1Limit;
  pool->factor = threadFactor();
  pool->creator = pthread_self();
  if (int e = startThread(&pool->manager, managerMain, pool)) {
    poolFree(pool, made);
    return tmpPrintf("Could not create management thread: %s", errnoText(e));
  }
  linkPool(pool);
  *out = pool;
  return nullptr;
}

void threadPoolSetLimits(ThreadPool* pool, u32 kind0Limit, u32 kind1Limit) {
  Locked lock(&pool->mutex);
  pool->kind0Limit = kind0Limit;
  pool->kind1Limit = kind1Limit;
}

void threadPoolSetThreads(ThreadPool* pool, u32 kind0Limit, u32 kind1Limit) {
  Locked lock(&pool->mutex);
  pool->kind0Limit = kind0Limit;
  pool->kind1Limit = kind1Limit;
  signalManager(pool);
}

const char* threadPoolSetDefaultThreads(u32 n) {
  Locked lock(&gDefaultMutex);
  if (!gDefaultPool) return threadPoolCreate(n, 0, &gDefaultPool);
  if (threadPoolGetThreads(gDefaultPool) != n) threadPoolSetThreads(gDefaultPool, n, 0);
  return nullptr;
}

ThreadPool* threadPoolDefault() {
  Locked lock(&gDefaultMutex);
  return gDefaultPool;
}

u32 threadPoolGetThreads(ThreadPool* pool) {
  Locked lock(&pool->mutex);
  return pool->kind0Limit;
}

void threadPoolDestroy(ThreadPool* pool) {
  if (!pool) return;
  {
    Locked lock(&pool->mutex);
    pool->state = kPoolStop;
    signalManager(pool);
  }
  pthread_join(pool->manager, nullptr);
  unlinkPool(pool);
  // Items of tasks that were neither finished nor cancelled are dropped.
  for (Queue* queue : pool->queues) {
    while (QueueNode* node = queuePop(queue)) {
      std::free(node->data);
      std::free(node);
    }
  }
  poolFree(pool, 3);
}

ThreadPool* threadPoolFindByThread(pthread_t thread) {
  Locked lock(&gPoolsMutex);
  for (ThreadPool* pool = gPools; pool; pool = pool->next) {
    if (pthread_equal(pool->creator, thread) || pthread_equal(pool->manager, thread)) return pool;
    Locked poolLock(&pool->mutex);
    for (QueueNode* node = queueFirst(pool->workers); node; node = node->next)
      if (pthread_equal(static_cast<PoolWorker*>(node->data)->thread, thread)) return pool;
  }
  return nullptr;
}

u32 threadPoolBusyWorkers(ThreadPool* pool) {
  Locked lock(&pool->mutex);
  u32 busy = 0;
  for (QueueNode* node = queueFirst(pool->workers); node; node = node->next)
    if (static_cast<PoolWorker*>(node->data)->state != kWorkerIdle) busy++;
  return busy;
}

u64 threadPoolQueuedItems(ThreadPool* pool) {
  Locked lock(&pool->mutex);
  u64 queued = 0;
  for (Queue* queue : pool->queues) {
    Locked queueLock(&queue->mutex);
    queued += queue->count;
  }
  return queued;
}

// --- Tasks ------------------------------------------------------------------------

void mutexInitRecursive(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

namespace {

u32 priorityOf(u32 flags) {
  if (flags & kTaskPriority1) return 1;
  if (flags & kTaskPriority0) return 0;
  if (flags & kTaskPriority2) return 2;
  if (flags & kTaskPriority3) return 3;
  return 0;
}

void taskFree(Task* task) {
  while (QueueNode* node = queuePop(task->results)) {
    std::free(node->data);
    std::free(node);
  }
  queueDestroy(task->results);
  pthread_mutex_destroy(&task->resultsMutex);
  pthread_mutex_destroy(&task->pendingMutex);
  pthread_mutex_destroy(&task->readerMutex);
  std::free(task->name);
  std::free(task);
}

}  // namespace

const char* taskCreate(ThreadPool* pool, const char* name, u32 flags, Task** out) {
  *out = nullptr;
  auto* task = static_cast<Task*>(memCalloc(1, sizeof(Task)));
  if (!task) return PALVON_OOM();
  task->name = memStrdup(name);
  task->results = queueCreate();
  if (!task->name || !task->results) {
    queueDestroy(task->results);
    std::free(task->name);
    std::free(task);
    return PALVON_OOM();
  }
  task->pool = pool;
  task->threaded = (flags & kTaskThreaded) && pool && threadPoolGetThreads(pool) != 0;
  task->ordered = flags & kTaskOrdered;
  task->lockedReading = flags & kTaskLockedReading;
  task->priority = priorityOf(flags);
  mutexInitRecursive(&task->resultsMutex);
  int e = pthread_mutex_init(&task->pendingMutex, nullptr);
  if (e == 0 && (e = pthread_mutex_init(&task->readerMutex, nullptr)) != 0) pthread_mutex_destroy(&task->pendingMutex);
  if (e != 0) {
    pthread_mutex_destroy(&task->resultsMutex);
    queueDestroy(task->results);
    std::free(task->name);
    std::free(task);
    return tmpPrintf("Can not create task '%s': %s", name, errnoText(e));
  }
  *out = task;
  return nullptr;
}

namespace {

u64 takeSequence(Task* task) {
  {
    Locked lock(&task->pendingMutex);
    task->pending++;
    task->outstanding++;
  }
  Locked lock(&task->resultsMutex);
  return task->nextSequence++;
}

}  // namespace

const char* taskRun(Task* task, TaskFunction function, void* argument) {
  if (!task->threaded) {
    TaskItem item{function, argument, takeSequence(task), task};
    function(argument, &item);
    Locked lock(&task->pendingMutex);
    task->pending--;
    return nullptr;
  }
  // Everything that can fail comes before the sequence number is taken: a
  // number given out and never run would hold up an ordered task for good.
  auto* item = static_cast<TaskItem*>(memAlloc(sizeof(TaskItem)));
  auto* node = static_cast<QueueNode*>(memAlloc(sizeof(QueueNode)));
  if (!item || !node) {
    std::free(item);
    std::free(node);
    return PALVON_OOM();
  }
  *item = TaskItem{function, argument, 0, task};
  node->data = item;
  ThreadPool* pool = task->pool;
  Locked lock(&pool->mutex);
  item->sequence = takeSequence(task);
  Queue* queue = pool->queues[task->priority];
  {
    Locked queueLock(&queue->mutex);
    queueAppendNode(node, queue);
  }
  signalManager(pool);
  return nullptr;
}

const char* taskRunSub(TaskItem* item, TaskFunction function, void* argument) {
  return taskRun(item->task, function, argument);
}

// --- Results ------------------------------------------------------------------------

namespace {

// Where an ordered task's result sorts: its distance from the next number to
// hand out (or from the last one handed out, so that a further result of an
// item already served comes first), with wrap-around.
u64 orderKey(const Task* task, u64 sequence) {
  u64 base = task->anyTaken ? task->lastTaken : task->expectedSequence;
  return sequence - base;
}

u64 sequenceOf(const QueueNode* node) { return static_cast<const TaskResult*>(node->data)->sequence; }

// Under both result locks. Equal numbers stay in posting order.
void insertOrdered(Task* task, QueueNode* node) {
  Queue* queue = task->results;
  u64 key = orderKey(task, sequenceOf(node));
  if (!queue->tail || orderKey(task, sequenceOf(queue->tail)) <= key) {
    queueAppendNode(node, queue);
    return;
  }
  QueueNode* walk = queueFirst(queue);
  while (orderKey(task, sequenceOf(walk)) <= key) walk = walk->next;
  queueInsertNodeBefore(node, walk, queue);
}

// Whether the head result may be handed out now; advances the expectation.
bool takeHead(Task* task, u64 sequence) {
  if (!task->ordered) return true;
  if (sequence == task->expectedSequence) {
    task->lastTaken = sequence;
    task->anyTaken = true;
    task->expectedSequence++;
    return true;
  }
  return task->anyTaken && sequence == task->lastTaken;
}

// The results ready to be taken, without taking them; under both locks.
u64 readyCount(const Task* task) {
  if (!task->ordered) return task->results->count;
  u64 expected = task->expectedSequence;
  bool haveLast = task->anyTaken;
  u64 last = task->lastTaken;
  u64 ready = 0;
  for (const QueueNode* node = task->results->head; node; node = node->next, ready++) {
    u64 sequence = sequenceOf(node);
    if (sequence == expected) {
      last = expected++;
      haveLast = true;
    } else if (!haveLast || sequence != last) {
      break;
    }
  }
  return ready;
}

// Takes the ready results (every one when all is set) into a new record.
// nullptr when no memory; nothing is taken then.
TaskResults* collect(Task* task, bool all) {
  auto* results = static_cast<TaskResults*>(memCalloc(1, sizeof(TaskResults)));
  if (!results) return nullptr;
  results->task = task;
  Locked queueLock(&task->results->mutex);
  Locked lock(&task->resultsMutex);
  u64 queued = task->results->count;
  if (queued == 0) return results;
  results->values = static_cast<void**>(memAlloc(queued * sizeof(void*)));
  if (!results->values) {
    std::free(results);
    return nullptr;
  }
  while (QueueNode* node = queueFirst(task->results)) {
    auto* result = static_cast<TaskResult*>(node->data);
    if (!all && !takeHead(task, result->sequence)) break;
    results->values[results->count++] = result->value;
    queueUnlink(node, task->results);
    std::free(result);
    std::free(node);
  }
  if (results->count == 0) {
    std::free(results->values);
    results->values = nullptr;
  }
  return results;
}

}  // namespace

const char* taskPostResult(TaskItem* item, void* value, u32* status) {
  Task* task = item->task;
  auto* result = static_cast<TaskResult*>(memAlloc(sizeof(TaskResult)));
  auto* node = static_cast<QueueNode*>(memAlloc(sizeof(QueueNode)));
  const char* error = nullptr;
  u64 ready = 0;
  if (!result || !node) {
    std::free(result);
    std::free(node);
    error = PALVON_OOM();
  } else {
    *result = TaskResult{value, item->sequence};
    node->data = result;
    Locked queueLock(&task->results->mutex);
    Locked lock(&task->resultsMutex);
    if (task->ordered) insertOrdered(task, node);
    else queueAppendNode(node, task->results);
    ready = readyCount(task);
  }
  u64 outstanding;
  {
    Locked lock(&task->pendingMutex);
    // A second result of one item must not wrap the count around.
    if (task->outstanding > 0) task->outstanding--;
    outstanding = task->outstanding;
  }
  if (status) *status = outstanding == 0 ? 2 : ready ? 1 : 0;
  return error;
}

TaskResults* taskTakeResults(Task* task) {
  if (task->lockedReading) pthread_mutex_lock(&task->readerMutex);
  TaskResults* results = collect(task, false);
  if (results && results->count > 0) return results;
  if (results) std::free(results);
  if (task->lockedReading) pthread_mutex_unlock(&task->readerMutex);
  return nullptr;
}

TaskResults* taskItemTakeResults(TaskItem* item) {
  Task* task = item->task;
  if (task->lockedReading) pthread_mutex_lock(&task->readerMutex);
  TaskResults* results = collect(task, false);
  if (!results && task->lockedReading) pthread_mutex_unlock(&task->readerMutex);
  return results;
}

TaskResults* taskItemTryTakeResults(TaskItem* item, const char** error) {
  Task* task = item->task;
  *error = nullptr;
  if (task->lockedReading && pthread_mutex_trylock(&task->readerMutex) != 0) return nullptr;
  TaskResults* results = collect(task, false);
  if (results && results->count > 0) return results;
  if (!results) *error = PALVON_OOM();
  std::free(results);
  if (task->lockedReading) pthread_mutex_unlock(&task->readerMutex);
  return nullptr;
}

void taskResultsRelease(TaskResults* results) {
  if (!results) return;
  if (results->task && results->task->lockedReading) pthread_mutex_unlock(&results->task->readerMutex);
  std::free(results->values);
  std::free(results);
}

u64 taskPending(Task* task) {
  Locked lock(&task->pendingMutex);
  return task->pending;
}

u64 taskResultCount(Task* task) {
  Locked lock(&task->results->mutex);
  return task->results->count;
}

int taskIsSaturated(Task* task) {
  if (!task->pool) return 0;
  u32 effective;
  {
    Locked lock(&task->pool->mutex);
    effective = task->pool->effectiveCount;
  }
  return taskResultCount(task) > effective || taskPending(task) > effective;
}

void taskWaitSome(Task* task) {
  ThreadPool* pool = task->pool;
  if (!task->threaded || pthread_mutex_trylock(&pool->mutex) != 0) return;
  if (taskPending(task) > 0) {
    // Bounded: a pool whose threads were taken away finishes nothing.
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += 100 * 1000 * 1000;
    if (until.tv_nsec >= 1000000000) until.tv_sec++, until.tv_nsec -= 1000000000;
    pthread_cond_timedwait(&pool->taskReady, &pool->mutex, &until);
  }
  pthread_mutex_unlock(&pool->mutex);
}

namespace {

// Under pool->mutex: waits until no item of the task is pending. When the
// pool has no threads left to run them (its limit went to 0, or it is
// stopping), the caller runs the task's queued items itself.
void waitIdle(ThreadPool* pool, Task* task) {
  while (taskPending(task) > 0) {
    if (pool->kind0Limit == 0 || pool->state == kPoolStop) {
      if (TaskItem* item = takeItemOf(pool, task)) {
        pthread_mutex_unlock(&pool->mutex);
        item->function(item->argument, item);
        pthread_mutex_lock(&pool->mutex);
        itemDone(pool, item);
        continue;
      }
    }
    pthread_cond_wait(&pool->taskReady, &pool->mutex);
  }
}

}  // namespace

TaskResults* taskFinish(Task* task) {
  if (task->threaded) {
    Locked lock(&task->pool->mutex);
    waitIdle(task->pool, task);
  }
  TaskResults* results = collect(task, true);
  if (results) results->task = nullptr;
  else PALVON_OOM();
  taskFree(task);
  return results;
}

TaskResults* taskCancel(Task* task) {
  if (task->threaded) {
    ThreadPool* pool = task->pool;
    Locked lock(&pool->mutex);
    while (TaskItem* item = takeItemOf(pool, task)) {
      {
        Locked pendingLock(&task->pendingMutex);
        if (task->outstanding > 0) task->outstanding--;
      }
      itemDone(pool, item);
    }
  }
  return taskFinish(task);
}

// --- Thread names ---------------------------------------------------------------

namespace {

struct ThreadPlace {
  ThreadPool* pool;
  u64 index;  // 1 creator, 2 manager, 3 and up workers; 0 none
  PoolWorker* worker;
};

// The pool mutex is held only for short steps, so a few attempts nearly
// always get it; a thread that holds it itself (logging from inside the
// pool) must not wait for it.
bool tryLockBriefly(pthread_mutex_t* mutex) {
  for (int attempt = 0; attempt < 1000; attempt++) {
    if (pthread_mutex_trylock(mutex) == 0) return true;
    sched_yield();
  }
  return false;
}

// Under gPoolsMutex. The worker list is looked at only when its pool's
// mutex can be had at once; busy is set when it could not.
ThreadPlace findPlace(pthread_t self, bool* busy) {
  for (ThreadPool* pool = gPools; pool; pool = pool->next) {
    if (pthread_equal(pool->creator, self)) return {pool, 1, nullptr};
    if (pthread_equal(pool->manager, self)) return {pool, 2, nullptr};
    if (!tryLockBriefly(&pool->mutex)) {
      *busy = true;
      continue;
    }
    u64 index = 3;
    for (QueueNode* node = queueFirst(pool->workers); node; node = node->next, index++) {
      auto* worker = static_cast<PoolWorker*>(node->data);
      if (pthread_equal(worker->thread, self)) {
        pthread_mutex_unlock(&pool->mutex);
        return {pool, index, worker};
      }
    }
    pthread_mutex_unlock(&pool->mutex);
  }
  return {nullptr, 0, nullptr};
}

u64 rawThreadId() { return static_cast<u64>(pthread_self()); }

}  // namespace

u64 threadIndex() {
  Locked lock(&gPoolsMutex);
  bool busy = false;
  ThreadPlace place = findPlace(pthread_self(), &busy);
  return place.index ? place.index : rawThreadId();
}

const char* threadDescribe() {
  constexpr size_t kSize = 100;
  char* text = tmpAlloc(kSize);
  const char* id = tmpPrintf("%llu", static_cast<unsigned long long>(rawThreadId()));
  Locked lock(&gPoolsMutex);
  bool busy = false;
  ThreadPlace place = findPlace(pthread_self(), &busy);
  if (place.index == 1) {
    if (gPoolCount == 1) strCopy(text, "main thread", kSize);
    else snprintf(text, kSize, "parent thread #%s", id);
  } else if (place.index == 2) {
    snprintf(text, kSize, "manager thread #%s", id);
  } else if (place.worker) {
    // The worker's own running item cannot change under it: only this
    // thread sets it.
    TaskItem* item = place.worker->running;
    if (item)
      snprintf(text, kSize, "sub task #%llu of '%s' (thread #%u)", static_cast<unsigned long long>(item->sequence),
               item->task->name, static_cast<unsigned>(place.index - 2));
    else
      snprintf(text, kSize, "worker thread #%u ", static_cast<unsigned>(place.index - 2));
  } else if (busy) {
    snprintf(text, kSize, "worker thread #%s", id);
  } else {
    if (gPoolCount == 0) strCopy(text, "main thread", kSize);
    else snprintf(text, kSize, "thread #%s", id);
  }
  return text;
}

}  // namespace palvon
