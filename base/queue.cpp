#include "base/queue.h"

#include <cstdlib>

#include "base/logging.h"

namespace palvon {

Queue* queueCreate() {
  auto* queue = static_cast<Queue*>(memCalloc(1, sizeof(Queue)));
  if (!queue) return nullptr;
  pthread_mutexattr_init(&queue->mutexAttr);
  pthread_mutexattr_settype(&queue->mutexAttr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&queue->mutex, &queue->mutexAttr);
  return queue;
}

void queueDestroy(Queue* queue) {
  if (!queue) return;
  pthread_mutex_destroy(&queue->mutex);
  pthread_mutexattr_destroy(&queue->mutexAttr);
  std::free(queue);
}

QueueNode* queueFirst(Queue* queue) { return queue ? queue->head : nullptr; }

void queueUnlink(QueueNode* node, Queue* queue) {
  QueueNode* previous = nullptr;
  QueueNode* walk = queue->head;
  while (walk && walk != node) {
    previous = walk;
    walk = walk->next;
  }
  if (!walk) return;
  if (previous) previous->next = node->next;
  else queue->head = node->next;
  if (queue->tail == node) queue->tail = previous;
  node->next = nullptr;
  queue->count--;
}

QueueNode* queuePop(Queue* queue) {
  QueueNode* node = queue->head;
  if (!node) return nullptr;
  queue->head = node->next;
  if (!queue->head) queue->tail = nullptr;
  node->next = nullptr;
  queue->count--;
  return node;
}

void queueAppendNode(QueueNode* node, Queue* queue) {
  node->next = nullptr;
  if (queue->tail) queue->tail->next = node;
  else queue->head = node;
  queue->tail = node;
  queue->count++;
}

void queueInsertNodeBefore(QueueNode* node, QueueNode* before, Queue* queue) {
  if (queue->head == before) {
    node->next = before;
    queue->head = node;
    if (!queue->tail) queue->tail = node;
    queue->count++;
    return;
  }
  for (QueueNode* walk = queue->head; walk; walk = walk->next) {
    if (walk->next != before) continue;
    node->next = before;
    walk->next = node;
    queue->count++;
    return;
  }
  PALVON_UNE();
}

namespace {

QueueNode* newNode(void* data) {
  auto* node = static_cast<QueueNode*>(memAlloc(sizeof(QueueNode)));
  if (node) *node = QueueNode{nullptr, data};
  return node;
}

}  // namespace

const char* queueAppend(void* data, Queue* queue) {
  QueueNode* node = newNode(data);
  if (!node) return PALVON_OOM();
  queueAppendNode(node, queue);
  return nullptr;
}

const char* queueInsertAfter(void* data, QueueNode* after, Queue* queue) {
  QueueNode* node = newNode(data);
  if (!node) return PALVON_OOM();
  node->next = after->next;
  after->next = node;
  if (queue->tail == after) queue->tail = node;
  queue->count++;
  return nullptr;
}

const char* queueInsertBefore(void* data, QueueNode* before, Queue* queue) {
  QueueNode* node = newNode(data);
  if (!node) return PALVON_OOM();
  queueInsertNodeBefore(node, before, queue);
  return nullptr;
}

}  // namespace palvon
