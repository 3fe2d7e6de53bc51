#include "base/orders.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <initializer_list>
#include <cstdlib>
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
Order gSentinel = {nullptr, nullptr, nullptr, nullptr, nullptr, kOrdersMaxWait, 0};
Order* gEarliest = &gSentinel;

pollfd gTable[kOrdersPollSlots];
u32 gCount;
u32 gHint;

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
  *order = Order{nullptr, nullptr, callback, argument, nullptr, time, ++gSerial};
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

Order* addFd(int descriptor, short events, OrderCallback callback, void* argument, int line) {
  u32 slot = gHint;
  while (slot < kOrdersPollSlots && gTable[slot].events) slot++;
  if (slot == kOrdersPollSlots) {
    LOGF(logChError, "No free poll slot for fd %d (%u in use)", descriptor, kOrdersPollSlots);
    return nullptr;
  }
  Order* order = newOrder(callback, argument, 0, line);
  if (!order) return nullptr;
  if (slot == gCount) gCount++;
  gHint = slot;
  gTable[slot] = pollfd{descriptor, events, 0};
  order->pollSlot = &gTable[slot];
  linkFront(gDescriptors, order);
  return order;
}

// Frees the cancelled orders of a list without calling anyone.
void sweep(OrderList& list) {
  for (Order* o = list.front; o;) o = o->callback ? o->next : unlinkFree(list, o);
}

void runDescriptors() {
  for (Order* o = gDescriptors.front; o;) {
    if (!o->callback) {
      o = unlinkFree(gDescriptors, o);
      continue;
    }
    if (o->pollSlot->revents) o->callback(o->argument);
    o = o->next;
  }
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
  sweep(gDescriptors);
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
  for (pollfd& slot : gTable) slot = pollfd{-1, 0, 0};
  gCount = 0;
  gHint = 0;
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

int orderFdWatched(int descriptor) {
  for (u32 i = 0; i < gCount; i++)
    if (gTable[i].fd == descriptor && (gTable[i].events & POLLIN)) return 1;
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
  order->callback = nullptr;
  if (order->pollSlot) {
    pollfd* slot = order->pollSlot;
    // A free slot carries -1, which poll() skips; descriptor 0 would be
    // polled and, once closed, report POLLNVAL on every step.
    *slot = pollfd{-1, 0, 0};
    // Forget the slot: it may be handed to a new order, and a second cancel
    // of this one must not free it again.
    order->pollSlot = nullptr;
    u32 index = static_cast<u32>(slot - gTable);
    if (index < gHint) {
      gHint = index;
    } else {
      while (gCount > 0 && gTable[gCount - 1].events == 0) gCount--;
      if (gHint > gCount) gHint = gCount;
    }
    return;
  }
  if (order == gEarliest) {
    order->time = 0;
    recomputeEarliest();
  }
  order->time = 0;
}

u64 orderTime(const Order* order) { return order->time; }

u64 ordersRun(u64 maxWait) {
  if (gStopPending.exchange(false)) return gStopValue.load();
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
  Order* agedFrom = gTimers.front;
  int ready = gPoll(gTable, gCount, static_cast<int>(wait));
  if (ready > 0) runDescriptors();
  else runIdleTimers(wait);
  ageTimers(agedFrom);
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
  for (pollfd& slot : gTable) slot = pollfd{-1, 0, 0};
  gCount = 0;
  gHint = 0;
}

void ordersSetClock(OrdersClock clock) {
  gClock = clock ? clock : monotonicMs;
  gLoopClock = gClock();
}

void ordersSetPoll(OrdersPoll poll) { gPoll = poll ? poll : ::poll; }

u64 ordersClock() { return gLoopClock; }
void ordersSkipBlockedTime() { gLoopClock = gClock(); }
u32 ordersPollCount() { return gCount; }
u32 ordersPollHint() { return gHint; }
int orderPollSlot(const Order* order) {
  return order && order->pollSlot ? static_cast<int>(order->pollSlot - gTable) : -1;
}

}  // namespace palvon
