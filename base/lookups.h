// Host-name look-ups, which wait for a name server as long as the
// resolver's own time-outs say: seconds, tens of them for a server that
// never answers. A step that holds the event loop bounds them with a
// LookUpBound: within its scope, on the thread that made it, each look-up
// runs beside the loop and is given up at the bound's deadline as if the
// name were unknown (its thread ends on its own later). Without a bound a
// look-up simply runs.
#pragma once

#include <netdb.h>

namespace palvon {

class LookUpBound {
 public:
  // deadlineMs on fdMonotonicMs's clock; 0 bounds nothing. An outer bound
  // with an earlier deadline keeps it.
  explicit LookUpBound(long long deadlineMs);
  ~LookUpBound();
  LookUpBound(const LookUpBound&) = delete;
  LookUpBound& operator=(const LookUpBound&) = delete;

  // The deadline in force on this thread; 0 when none.
  static long long deadline();
  // Whether a look-up was given up at the deadline since the outermost
  // bound in force began.
  bool gaveUp() const;

 private:
  long long outer_;
  bool outerGaveUp_;
};

// getaddrinfo and getnameinfo within the bound in force: EAI_AGAIN when
// given up.
int lookUpAddresses(const char* host, const char* service, const addrinfo* hints, addrinfo** found);
int lookUpAddressName(const sockaddr* address, socklen_t length, char* host, socklen_t hostSize, int flags);

// Any look-up within the bound in force: look(job) runs, beside the loop
// under a bound. True when it ended, the job then being the caller's; false
// when it was given up, and release(job) follows once it ends.
bool runLookUp(void (*look)(void* job), void (*release)(void* job), void* job);

}  // namespace palvon
