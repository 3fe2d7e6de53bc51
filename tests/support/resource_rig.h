// In-process set-up for tests of the resource database, the records and the
// window tree: the proxy's id bits, slot 0, test clients, and a destructor
// row that records which objects were destroyed in which order.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"

namespace palvon::test {

// Objects of these types are plain tokens; destroying one appends its id.
constexpr u32 kTokenType = RT_GLX_CONTEXT;
constexpr u32 kOtherTokenType = RT_GLX_PIXMAP;

inline std::vector<u32>& destroyedTokens() {
  static std::vector<u32> ids;
  return ids;
}

inline void registerTokenTypes() {
  auto note = [](u32 id, void*) { destroyedTokens().push_back(id); };
  ASSERT_TRUE(registerResourceType({kTokenType, "TOKEN", note, nullptr, nullptr}));
  ASSERT_TRUE(registerResourceType({kOtherTokenType, "OTHER TOKEN", note, nullptr, nullptr}));
}

// A token object: any non-null pointer.
inline void* token() {
  static int value;
  return &value;
}

// The proxy's id layout (20 client-local bits), slot 0 initialised, every
// slot freed afterwards.
class DatabaseRig {
 public:
  DatabaseRig() {
    proxyState.resourceIdShift = 20;
    proxyState.resourceIdMask = 0xfffff;
    proxyState.screens = nullptr;
    proxyState.screenCount = 0;
    initDefaultXids();
    EXPECT_EQ(initClientResourceTable(0), 1);
    registerTokenTypes();
    destroyedTokens().clear();
  }
  ~DatabaseRig() {
    currentClient = nullptr;
    freeAllClientResources();
    proxyState.screens = nullptr;
    proxyState.screenCount = 0;
  }
  DatabaseRig(const DatabaseRig&) = delete;
  DatabaseRig& operator=(const DatabaseRig&) = delete;
};

// A client record with its slot initialised (not on the client list).
struct TestClient {
  ProxyClient record{};
  explicit TestClient(u32 number) {
    record.number = number;
    EXPECT_EQ(initClientResourceTable(number), 1);
  }
  ProxyClient* operator->() { return &record; }
  ProxyClient* get() { return &record; }
  u32 id(u32 local) const { return (record.number << 20) | local; }
};

}  // namespace palvon::test
