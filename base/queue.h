// A FIFO of opaque data pointers with its own recursive mutex. The operations
// take no lock: users lock `mutex` around every sequence that must be atomic
// (take the first node, look at it, unlink it); the recursive type lets such
// sections nest. Nodes taken out belong to the caller (free them with free);
// the data always belongs to the caller.
#pragma once

#include <pthread.h>

#include "base/strings.h"

namespace palvon {

struct QueueNode {
  QueueNode* next;
  void* data;
};

struct Queue {
  QueueNode* head;  // nullptr exactly when the queue is empty
  QueueNode* tail;
  u64 count;
  pthread_mutex_t mutex;  // recursive
  pthread_mutexattr_t mutexAttr;
};

Queue* queueCreate();                 // nullptr when out of memory
void queueDestroy(Queue* queue);      // linked nodes are not freed
QueueNode* queueFirst(Queue* queue);  // queue may be nullptr
void queueUnlink(QueueNode* node, Queue* queue);
QueueNode* queuePop(Queue* queue);
void queueAppendNode(QueueNode* node, Queue* queue);
void queueInsertNodeBefore(QueueNode* node, QueueNode* before, Queue* queue);
// These make a node for the data; nullptr or an "Out of memory" text.
const char* queueAppend(void* data, Queue* queue);
const char* queueInsertAfter(void* data, QueueNode* after, Queue* queue);
const char* queueInsertBefore(void* data, QueueNode* before, Queue* queue);

}  // namespace palvon
