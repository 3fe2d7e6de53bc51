#include "base/lookups.h"

#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "base/beside.h"
#include "base/fd.h"
#include "base/strings.h"

namespace palvon {

namespace {

thread_local long long boundDeadline = 0;
thread_local bool boundGaveUp = false;

struct Bounded {
  void (*look)(void*);
  void (*release)(void*);
  void* job;
};

struct AddressesJob {
  char* host;
  char* service;
  addrinfo hints;
  addrinfo* found;
  int rc;
};

void releaseAddresses(void* argument) {
  auto* job = static_cast<AddressesJob*>(argument);
  if (job->found) freeaddrinfo(job->found);
  std::free(job->host);
  std::free(job->service);
  delete job;
}

struct NameJob {
  sockaddr_storage address;
  socklen_t length;
  int flags;
  int rc;
  char host[NI_MAXHOST];
};

}  // namespace

LookUpBound::LookUpBound(long long deadlineMs) : outer_(boundDeadline), outerGaveUp_(boundGaveUp) {
  if (!outer_) boundGaveUp = false;
  if (deadlineMs && (!boundDeadline || deadlineMs < boundDeadline)) boundDeadline = deadlineMs;
}

LookUpBound::~LookUpBound() {
  boundDeadline = outer_;
  // What an inner scope gave up is the outer one's too; with no bound left
  // nothing is.
  if (!outer_) boundGaveUp = outerGaveUp_;
}

long long LookUpBound::deadline() { return boundDeadline; }

bool LookUpBound::gaveUp() const { return boundGaveUp; }

bool runLookUp(void (*look)(void*), void (*release)(void*), void* job) {
  if (!boundDeadline) {
    look(job);
    return true;
  }
  auto* bounded = new (std::nothrow) Bounded{look, release, job};
  // Past the deadline a look-up is not begun: its answer could not be had.
  if (!bounded || boundDeadline <= fdMonotonicMs()) {
    delete bounded;
    release(job);
    boundGaveUp = true;
    return false;
  }
  bool ended = awaitBesideLoop(
      [](void* argument) {
        auto* b = static_cast<Bounded*>(argument);
        b->look(b->job);
      },
      [](void* argument, bool wanted) {
        auto* b = static_cast<Bounded*>(argument);
        if (!wanted) b->release(b->job);
        delete b;
      },
      bounded, boundDeadline);
  if (!ended) boundGaveUp = true;
  return ended;
}

int lookUpAddresses(const char* host, const char* service, const addrinfo* hints, addrinfo** found) {
  *found = nullptr;
  auto* job = new (std::nothrow) AddressesJob{host ? strdup(host) : nullptr, service ? strdup(service) : nullptr,
                                              hints ? *hints : addrinfo{}, nullptr, EAI_MEMORY};
  if (!job) return EAI_MEMORY;
  if ((host && !job->host) || (service && !job->service)) {
    releaseAddresses(job);
    return EAI_MEMORY;
  }
  auto look = [](void* argument) {
    auto* j = static_cast<AddressesJob*>(argument);
    j->rc = getaddrinfo(j->host, j->service, &j->hints, &j->found);
    if (j->rc != 0) j->found = nullptr;
  };
  if (!runLookUp(look, releaseAddresses, job)) return EAI_AGAIN;
  int rc = job->rc;
  *found = job->found;
  job->found = nullptr;
  releaseAddresses(job);
  return rc;
}

int lookUpAddressName(const sockaddr* address, socklen_t length, char* host, socklen_t hostSize, int flags) {
  if (length > sizeof(sockaddr_storage)) return EAI_FAMILY;
  auto* job = new (std::nothrow) NameJob{};
  if (!job) return EAI_MEMORY;
  std::memcpy(&job->address, address, length);
  job->length = length;
  job->flags = flags;
  auto look = [](void* argument) {
    auto* j = static_cast<NameJob*>(argument);
    j->rc = getnameinfo(reinterpret_cast<const sockaddr*>(&j->address), j->length, j->host, sizeof j->host,
                        nullptr, 0, j->flags);
  };
  auto release = [](void* argument) { delete static_cast<NameJob*>(argument); };
  if (!runLookUp(look, release, job)) return EAI_AGAIN;
  int rc = job->rc;
  if (rc == 0) strCopy(host, job->host, hostSize);
  delete job;
  return rc;
}

}  // namespace palvon
