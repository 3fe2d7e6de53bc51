#include "base/orders.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <initializer_list>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/logging.h"

namespace palvon {

namespace {

// A list head: front order, or nullptr. front->previous is the tail.
struct OrderList {
  Order* front;
};

constexpr u64 kAllOnes = ~static_cast<u64>(0);
// Ageing never subtracts more than this beyond the earliest timer, so one huge
// clock jump cannot fire every timer at once.
constexpr u64 kAgeingSlack = 20000;

u64 monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<u64>(now.tv_sec) * 1000 + static_cast<u64>(now.tv_nsec) / 1000000;
}

OrderList gIdle;
OrderList gDescriptors;
OrderList gTimers;        // one-shot, unsorted
OrderList gIdleTimers;    // sorted by period, ascending
Order gSentinel = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, -1, 0, kOrdersMaxWait, 0};
Order* gEarliest = &gSentinel;

// What the loop knows of one descriptor: its live orders, the directions
// they want, and what the epoll set holds for it. The set is brought up to
// date just before the wait, so an order added and cancelled within one step
// costs no system call; only a descriptor's last order going removes it at
// once, before its owner may close it.
struct FdWatch {
  Order* orders;
  u32 wanted;      // EPOLLIN / EPOLLOUT / EPOLLRDHUP of the live orders
  u32 registered;  // what the epoll set has
  bool dirty;      // on the list of descriptors to bring up to date
  bool unwatchable;  // refused by epoll (a regular file): ready on every step, as poll() has it
};

FdWatch* gWatches;
u32 gWatchCapacity;
int* gDirty;
u32 gDirtyCount;
u32 gDirtyCapacity;
u32 gUnwatchable;  // descriptors that are ready on every step
u32 gLiveWatches;
Order* gCancelled;
int gEpoll = -1;

// One step's ready orders, collected before any is called: a callback may
// cancel or add orders on any descriptor. What does not fit is still ready
// at the next step.
constexpr u32 kEpollBatch = 256;
Order* gReady[kEpollBatch * 2];
u32 gReadyCount;

u64 gLoopClock;
u64 gSerial;
// Written by ordersStop, possibly from a signal handler.
std::atomic<u64> gStopValue{0};
std::atomic<bool> gStopPending{false};

OrdersClock gClock = monotonicMs;
OrdersPoll gPoll = ::poll;

void linkFront(OrderList& list, Order* order) {
  order->next = list.front;
  if (list.front) {
    order->previous = list.front->previous;
    list.front->previous = order;
  } else {
    order->previous = order;
  }
  list.front = order;
}

void linkBefore(OrderList& list, Order* order, Order* before) {
  if (before == list.front) return linkFront(list, order);
  order->next = before;
  order->previous = before->previous;
  before->previous->next = order;
  before->previous = order;
}

void linkTail(OrderList& list, Order* order) {
  if (!list.front) return linkFront(list, order);
  Order* tail = list.front->previous;
  tail->next = order;
  order->previous = tail;
  order->next = nullptr;
  list.front->previous = order;
}

// Spent orders are kept for the next registration: a connection's write
// order comes and goes with every flush, and that must not cost an
// allocation each time. At most kSpareOrders are kept.
constexpr u32 kSpareOrders = 256;
constexpr u32 kSpareOrdersAtStart = 32;
Order* gSpareOrders = nullptr;
u32 gSpareCount = 0;

void recycleOrder(Order* order) {
  if (gSpareCount >= kSpareOrders) {
    std::free(order);
    return;
  }
  order->next = gSpareOrders;
  gSpareOrders = order;
  gSpareCount++;
}

// Unlinks and frees; returns the order that followed it.
Order* unlinkFree(OrderList& list, Order* order) {
  Order* following = order->next;
  if (order == list.front) {
    list.front = following;
    if (following) following->previous = order->previous;
  } else {
    order->previous->next = following;
    if (following) following->previous = order->previous;
    else list.front->previous = order->previous;
  }
  recycleOrder(order);
  return following;
}

Order* newOrder(OrderCallback callback, void* argument, u64 time, int line) {
  Order* order = gSpareOrders;
  if (order) {
    gSpareOrders = order->next;
    gSpareCount--;
  } else {
    order = static_cast<Order*>(memAlloc(sizeof(Order)));
  }
  if (!order) {
    logProblem(tmpPrintf("Out of memory (%s:%d)", sourceModule(__FILE__), line), __FILE__, line);
    return nullptr;
  }
  *order = Order{nullptr, nullptr, callback, argument, nullptr, nullptr, -1, 0, time, ++gSerial};
  return order;
}

void recomputeEarliest() {
  Order* best = &gSentinel;
  for (Order* o = gTimers.front; o; o = o->next)
    if (o->callback && o->time < best->time) best = o;
  for (Order* o = gIdleTimers.front; o && o->time < best->time; o = o->next) {
    if (o->callback) {
      best = o;
      break;
    }
  }
  gEarliest = best;
}

FdWatch* watchOf(int descriptor) {
  if (descriptor < 0) return nullptr;
  u32 index = static_cast<u32>(descriptor);
  if (index >= gWatchCapacity) {
    u32 capacity = gWatchCapacity ? gWatchCapacity : 64;
    while (capacity <= index) capacity *= 2;
    auto* grown = static_cast<FdWatch*>(memRealloc(gWatches, capacity * sizeof(FdWatch)));
    if (!grown) return nullptr;
    std::memset(grown + gWatchCapacity, 0, (capacity - gWatchCapacity) * sizeof(FdWatch));
    gWatches = grown;
    gWatchCapacity = capacity;
  }
  return &gWatches[index];
}

u32 epollEventsOf(short events) {
  return events == POLLOUT ? EPOLLOUT : events == POLLRDHUP ? u32{EPOLLRDHUP} : u32{EPOLLIN};
}

bool markDirty(FdWatch& watch, int descriptor) {
  if (watch.dirty) return true;
  if (gDirtyCount == gDirtyCapacity) {
    u32 capacity = gDirtyCapacity ? gDirtyCapacity * 2 : 64;
    auto* grown = static_cast<int*>(memRealloc(gDirty, capacity * sizeof(int)));
    if (!grown) return false;
    gDirty = grown;
    gDirtyCapacity = capacity;
  }
  gDirty[gDirtyCount++] = descriptor;
  watch.dirty = true;
  return true;
}

int epollSet() {
  if (gEpoll < 0) gEpoll = epoll_create1(EPOLL_CLOEXEC);
  return gEpoll;
}

// Brings the epoll set's entry for the descriptor to what its orders want.
void syncWatch(int descriptor, FdWatch& watch) {
  if (watch.unwatchable || watch.wanted == watch.registered) return;
  epoll_event event{};
  event.events = watch.wanted;
  event.data.fd = descriptor;
  int set = epollSet();
  if (watch.wanted == 0) {
    // A descriptor closed under its orders left the set by itself.
    epoll_ctl(set, EPOLL_CTL_DEL, descriptor, &event);
    watch.registered = 0;
    return;
  }
  int rc = epoll_ctl(set, watch.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, descriptor, &event);
  // The set's entry went with a closed descriptor, or a new descriptor of
  // the same number took one left by a copy of the old: either way the
  // other operation is the right one.
  if (rc < 0 && (errno == ENOENT || errno == EEXIST))
    rc = epoll_ctl(set, errno == ENOENT ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, descriptor, &event);
  if (rc == 0) {
    watch.registered = watch.wanted;
    return;
  }
  // epoll takes no regular file, and a closed descriptor has nothing to
  // watch; poll() reports both as ready on every step, and so does the loop.
  watch.unwatchable = true;
  watch.registered = 0;
  gUnwatchable++;
}

void syncDirtyWatches() {
  for (u32 i = 0; i < gDirtyCount; i++) {
    FdWatch& watch = gWatches[gDirty[i]];
    watch.dirty = false;
    syncWatch(gDirty[i], watch);
  }
  gDirtyCount = 0;
}

u32 wantedOf(const FdWatch& watch) {
  u32 wanted = 0;
  for (Order* o = watch.orders; o; o = o->nextOnFd)
    if (o->callback) wanted |= epollEventsOf(o->events);
  return wanted;
}

Order* addFd(int descriptor, short events, OrderCallback callback, void* argument, int line) {
  FdWatch* watch = watchOf(descriptor);
  if (!watch) {
    logProblem(tmpPrintf("Out of memory (%s:%d)", sourceModule(__FILE__), line), __FILE__, line);
    return nullptr;
  }
  Order* order = newOrder(callback, argument, 0, line);
  if (!order) return nullptr;
  order->descriptor = descriptor;
  order->events = events;
  order->nextOnFd = watch->orders;
  watch->orders = order;
  watch->wanted |= epollEventsOf(events);
  gLiveWatches++;
  if (watch->wanted != watch->registered && !markDirty(*watch, descriptor)) syncWatch(descriptor, *watch);
  linkFront(gDescriptors, order);
  return order;
}

// Frees the descriptor orders cancelled so far; only between steps' calls,
// so that no callback still holds one.
void freeCancelledDescriptors() {
  while (Order* order = gCancelled) {
    gCancelled = order->nextCancelled;
    if (FdWatch* watch = watchOf(order->descriptor)) {
      Order** link = &watch->orders;
      while (*link && *link != order) link = &(*link)->nextOnFd;
      if (*link) *link = order->nextOnFd;
    }
    unlinkFree(gDescriptors, order);
  }
}

// Collected before any callback runs, so an order added by one of them
// waits for the next step.
void collectReady(Order* order, bool ready) {
  if (!ready || !order->callback || gReadyCount == sizeof gReady / sizeof gReady[0]) return;
  gReady[gReadyCount++] = order;
}

// Whether the readiness wakes an order of this direction: an error or a
// hang-up wakes every one, as poll() reports them whatever was asked.
bool wakes(const Order* order, u32 events) {
  if (events & (EPOLLERR | EPOLLHUP)) return true;
  if (order->events == POLLRDHUP) return (events & EPOLLRDHUP) != 0;
  return order->events == POLLOUT ? (events & EPOLLOUT) != 0 : (events & (EPOLLIN | EPOLLRDHUP)) != 0;
}

// A fake wait (tests) gets a table of every live descriptor order, as the
// loop had before it used epoll.
int waitWithFake(int timeoutMs) {
  static pollfd table[kEpollBatch * 2];
  static Order* owners[kEpollBatch * 2];
  nfds_t count = 0;
  for (Order* o = gDescriptors.front; o && count < kEpollBatch * 2; o = o->next) {
    if (!o->callback) continue;
    table[count] = pollfd{o->descriptor, o->events, 0};
    owners[count++] = o;
  }
  int ready = gPoll(table, count, timeoutMs);
  if (ready <= 0) return ready;
  for (nfds_t i = 0; i < count; i++) collectReady(owners[i], table[i].revents != 0);
  return ready;
}

int waitWithEpoll(int timeoutMs) {
  syncDirtyWatches();
  if (gUnwatchable) {
    timeoutMs = 0;
    for (u32 fd = 0; fd < gWatchCapacity; fd++) {
      if (!gWatches[fd].unwatchable) continue;
      for (Order* o = gWatches[fd].orders; o; o = o->nextOnFd) collectReady(o, true);
    }
  }
  epoll_event events[kEpollBatch];
  int set = epollSet();
  int count = set < 0 ? 0 : epoll_wait(set, events, kEpollBatch, timeoutMs);
  for (int i = 0; i < count; i++) {
    FdWatch* watch = watchOf(events[i].data.fd);
    if (!watch) continue;
    for (Order* o = watch->orders; o; o = o->nextOnFd) collectReady(o, wakes(o, events[i].events));
  }
  return gReadyCount > 0 ? int(gReadyCount) : count;
}

void runDescriptors() {
  // Called in the order collected; an order cancelled by an earlier callback
  // of this step is skipped, and none is freed before the step ends.
  for (u32 i = 0; i < gReadyCount; i++) {
    Order* o = gReady[i];
    if (o->callback) o->callback(o->argument);
  }
  gReadyCount = 0;
}

// The poll timed out after `wait`: every idle timer whose period fits fires.
// Timers registered during this walk wait for a later time-out, so a timer
// that re-registers itself cannot keep the walk going for ever.
void runIdleTimers(u64 wait) {
  u64 lastSerial = gSerial;
  for (Order* o = gIdleTimers.front; o;) {
    if (o->callback && o->time <= wait && o->serial <= lastSerial) {
      o->callback(o->argument);
      if (!o->callback) o = unlinkFree(gIdleTimers, o);
      else o = o->next;
    } else if (!o->callback) {
      o = unlinkFree(gIdleTimers, o);
    } else {
      o = o->next;
    }
  }
}

// Ages the one-shot timers from `first` on by the time since the last step.
void ageTimers(Order* first) {
  u64 now = gClock();
  u64 elapsed = now - gLoopClock;
  if (elapsed == 0) return;
  gLoopClock = now;
  if (elapsed > gEarliest->time + kAgeingSlack) elapsed = gEarliest->time + kAgeingSlack;
  for (Order* o = first; o;) {
    if (o->time > elapsed) {
      o->time -= elapsed;
      o = o->next;
    } else if (o->callback) {
      o->callback(o->argument);
      o->callback = nullptr;
      o->time = 0;
      o = o->next;
    } else {
      o = unlinkFree(gTimers, o);
    }
  }
  // Remaining times of one-shot timers shrink while idle periods do not, so
  // the earliest has to be found again for the next wait.
  recomputeEarliest();
}

}  // namespace

void orderNoop(void*) {}

void ordersInit() {
  gStopValue = 0;
  gStopPending = false;
  gEarliest = &gSentinel;
  gLoopClock = gClock();
  // A reserve for the orders that come and go with the traffic (write
  // orders, resume timers), so that a busier moment costs no allocation.
  while (gSpareCount < kSpareOrdersAtStart) {
    auto* order = static_cast<Order*>(memAlloc(sizeof(Order)));
    if (!order) break;
    recycleOrder(order);
  }
}

Order* orderAddIdle(OrderCallback callback, void* argument) {
  Order* order = newOrder(callback, argument, kAllOnes, __LINE__);
  if (order) linkFront(gIdle, order);
  return order;
}

Order* orderAddFd(int descriptor, OrderCallback callback, void* argument) {
  return addFd(descriptor, POLLIN, callback, argument, __LINE__);
}

Order* orderAddFdWrite(int descriptor, OrderCallback callback, void* argument) {
  return addFd(descriptor, POLLOUT, callback, argument, __LINE__);
}

Order* orderAddFdHangup(int descriptor, OrderCallback callback, void* argument) {
  return addFd(descriptor, POLLRDHUP, callback, argument, __LINE__);
}

int orderFdWatched(int descriptor) {
  if (descriptor < 0 || u32(descriptor) >= gWatchCapacity) return 0;
  for (Order* o = gWatches[descriptor].orders; o; o = o->nextOnFd)
    if (o->callback && o->events == POLLIN) return 1;
  return 0;
}

Order* orderAddTimer(u64 milliseconds, OrderCallback callback, void* argument) {
  Order* order = newOrder(callback, argument, milliseconds, __LINE__);
  if (!order) return nullptr;
  linkFront(gTimers, order);
  if (milliseconds < gEarliest->time) gEarliest = order;
  return order;
}

Order* orderAddTimerSorted(u64 milliseconds, OrderCallback callback, void* argument) {
  Order* order = newOrder(callback, argument, milliseconds, __LINE__);
  if (!order) return nullptr;
  Order* before = gIdleTimers.front;
  while (before && before->time <= milliseconds) before = before->next;
  if (before) linkBefore(gIdleTimers, order, before);
  else linkTail(gIdleTimers, order);
  if (milliseconds < gEarliest->time) gEarliest = order;
  return order;
}

void orderCancel(Order* order) {
  if (!order) return;
  if (order->descriptor >= 0) {
    // A second cancel finds it spent and does nothing.
    if (!order->callback) return;
    order->callback = nullptr;
    order->nextCancelled = gCancelled;
    gCancelled = order;
    gLiveWatches--;
    FdWatch& watch = gWatches[order->descriptor];
    watch.wanted = wantedOf(watch);
    // The last order of a descriptor takes it out of the set now: its owner
    // may close it next, and a copy of it elsewhere would keep reporting.
    if (watch.wanted == 0 && watch.unwatchable) {
      watch.unwatchable = false;
      gUnwatchable--;
    } else if (watch.wanted == 0) {
      syncWatch(order->descriptor, watch);
    }
    else if (watch.wanted != watch.registered && !markDirty(watch, order->descriptor)) syncWatch(order->descriptor, watch);
    return;
  }
  order->callback = nullptr;
  if (order == gEarliest) {
    order->time = 0;
    recomputeEarliest();
  }
  order->time = 0;
}

u64 orderTime(const Order* order) { return order->time; }

namespace {

// Whether an idle order registered after `serial` is still live. New idle
// orders go to the front of their list, so the walk ends at the first older
// one.
bool idleAddedSince(u64 serial) {
  for (Order* o = gIdle.front; o && o->serial > serial; o = o->next)
    if (o->callback) return true;
  return false;
}

}  // namespace

u64 ordersRun(u64 maxWait) {
  if (gStopPending.exchange(false)) return gStopValue.load();
  u64 passStart = gSerial;
  for (Order* o = gIdle.front; o;) {
    if (o->callback) {
      o->callback(o->argument);
      o = o->next;
      continue;
    }
    o = unlinkFree(gIdle, o);
    if (u64 stop = gStopValue.load()) return stop;
  }
  u64 wait = gEarliest->time < maxWait ? gEarliest->time : maxWait;
  if (wait > INT_MAX) wait = INT_MAX;
  // Idle work that this pass registered (a client's reading resumed from
  // inside its own resume) is due at the start of the next step, not after
  // the poll has waited for a descriptor or a timer: the poll only looks.
  if (idleAddedSince(passStart)) wait = 0;
  Order* agedFrom = gTimers.front;
  int ready = gPoll == ::poll ? waitWithEpoll(static_cast<int>(wait)) : waitWithFake(static_cast<int>(wait));
  if (ready > 0) runDescriptors();
  else runIdleTimers(wait);
  gReadyCount = 0;
  ageTimers(agedFrom);
  freeCancelledDescriptors();
  return 0;
}

u64 ordersMainLoop() {
  gStopValue = 0;
  gStopPending = false;
  for (;;)
    if (u64 stop = ordersRun(kOrdersMaxWait)) return stop;
}

u64 ordersRunFor(u64 milliseconds) {
  u64 end = gLoopClock + milliseconds;
  u64 stop = ordersRun(milliseconds);
  while (!stop && gLoopClock < end) stop = ordersRun(end - gLoopClock);
  return stop;
}

void ordersStop(u64 value) {
  gStopValue = value;
  gStopPending = true;
}

void ordersFreeAll() {
  for (OrderList* list : {&gIdle, &gDescriptors, &gTimers, &gIdleTimers}) {
    while (list->front) unlinkFree(*list, list->front);
  }
  while (Order* spare = gSpareOrders) {
    gSpareOrders = spare->next;
    std::free(spare);
  }
  gSpareCount = 0;
  gEarliest = &gSentinel;
  gCancelled = nullptr;
  gReadyCount = 0;
  std::free(gWatches);
  gWatches = nullptr;
  gWatchCapacity = 0;
  std::free(gDirty);
  gDirty = nullptr;
  gDirtyCount = gDirtyCapacity = 0;
  gUnwatchable = 0;
  gLiveWatches = 0;
  // The set goes whole: a fresh one starts without the entries of orders
  // that were dropped here.
  if (gEpoll >= 0) close(gEpoll);
  gEpoll = -1;
}

void ordersSetClock(OrdersClock clock) {
  gClock = clock ? clock : monotonicMs;
  gLoopClock = gClock();
}

void ordersSetPoll(OrdersPoll poll) { gPoll = poll ? poll : ::poll; }

u64 ordersClock() { return gLoopClock; }
u64 ordersClockNow() { return gClock(); }
void ordersSkipBlockedTime() { gLoopClock = gClock(); }
u32 ordersWatchCount() { return gLiveWatches; }

}  // namespace palvon
