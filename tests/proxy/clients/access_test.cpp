// Host access control: the host list, the host access file, the machine's
// own addresses and server-interpreted entries matched through the peer's
// credentials on real sockets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "Proxy/clients/access.h"
#include "support/tempdir.h"

namespace palvon {
namespace {

AccessClient remoteClient(const char* address) {
  AccessClient client{};
  client.descriptor = -1;
  auto* in = reinterpret_cast<sockaddr_in*>(&client.peer);
  in->sin_family = AF_INET;
  inet_pton(AF_INET, address, &in->sin_addr);
  client.peerLength = sizeof(sockaddr_in);
  return client;
}

bool refused(const AccessClient& client) {
  return isInvalidHost(reinterpret_cast<const sockaddr*>(&client.peer), client.peerLength, &client);
}

// The host list's entry count, and its raw entries in *entries when asked.
int hostCount(std::string* entries = nullptr) {
  u8* data = nullptr;
  int count = 0, length = 0;
  bool enabled = false;
  EXPECT_EQ(listHosts(&data, &count, &length, &enabled), kAccessOk);
  EXPECT_TRUE(enabled);
  if (entries) entries->assign(reinterpret_cast<const char*>(data), length);
  free(data);
  return count;
}

// A connected Unix-domain pair; the proxy's end is first.
struct SocketPair {
  int fds[2] = {-1, -1};
  SocketPair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fds); }
  ~SocketPair() {
    close(fds[0]);
    close(fds[1]);
  }
};

class HostAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    resetHostAccess();
    readHostsFileAt("/nonexistent/hosts");
  }
  void TearDown() override { resetHostAccess(); }
  void readFile(const std::string& content) {
    test::writeFile(dir.file("X9.hosts"), content);
    readHostsFileAt(dir.file("X9.hosts").c_str());
  }
  test::TempDir dir;
};

TEST_F(HostAccess, LocalLineKeepsLocalClientsAfterTheAuthorityFileDisablesTheLocalHost) {
  SocketPair pair;
  AccessClient local;
  accessClientFromSocket(&local, pair.fds[0]);
  defineSelfAddresses(pair.fds[0]);  // the list of self hosts needs any socket
  readFile("# comment\nlocal:\n");
  enableLocalHost();
  disableLocalHost();
  EXPECT_FALSE(refused(local));
  EXPECT_TRUE(refused(remoteClient("192.0.2.7")));

  readFile("");  // without the line, disabling the local host refuses local clients
  enableLocalHost();
  EXPECT_FALSE(refused(local));
  disableLocalHost();
  EXPECT_TRUE(refused(local));
}

TEST_F(HostAccess, ChangeHostsValidatesFamiliesAndAddresses) {
  AccessClient local{};
  local.descriptor = -1;  // empty peer address: a local connection, may change the list
  struct Case {
    const char* name;
    int family;
    std::string address;
    int code;
    u32 errorValue;
  } cases[] = {
      {"internet", kFamilyInternet, std::string("\x0a\x01\x02\x03", 4), kAccessOk, 0},
      {"internet of 6 bytes", kFamilyInternet, std::string("\x0a\x01\x02\x03\x04\x05", 6), kBadValue, 6},
      {"family 3", 3, "abcd", kBadValue, 3},
      {"family 300", 300, "abcd", kBadValue, 300},
      {"localuser #0", kFamilyServerInterpreted, std::string("localuser\0#0", 12), kAccessOk, 0},
      {"hostname with two dots", kFamilyServerInterpreted, std::string("hostname\0a..b", 13), kBadValue, 13},
      {"hostname starting with '-'", kFamilyServerInterpreted, std::string("hostname\0-a", 11), kBadValue, 11},
      {"hostname", kFamilyServerInterpreted, std::string("hostname\0host-1.example", 23), kAccessOk, 0},
      {"unknown type", kFamilyServerInterpreted, std::string("nosuch\0x", 8), kBadValue, 8},
      {"no type separator", kFamilyServerInterpreted, "localuser", kBadValue, 9},
      {"unknown user", kFamilyServerInterpreted, std::string("localuser\0no-such-user-x", 24), kBadValue, 24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    local.errorValue = 0;
    EXPECT_EQ(addHost(&local, c.family, static_cast<int>(c.address.size()),
                      reinterpret_cast<const u8*>(c.address.data())),
              c.code);
    EXPECT_EQ(local.errorValue, c.errorValue);
  }
  // Removing is validated the same way and succeeds for absent entries.
  const u8 absent[4] = {203, 0, 113, 9};
  EXPECT_EQ(removeHost(&local, kFamilyInternet, 4, absent), kAccessOk);

  AccessClient remote = remoteClient("198.51.100.3");
  EXPECT_EQ(addHost(&remote, kFamilyInternet, 4, absent), kBadAccess);
  setAccessControlDefeated(true);
  EXPECT_EQ(addHost(&remote, kFamilyInternet, 4, absent), kAccessOk);
}

TEST_F(HostAccess, ListHostsReportsWhatWasAddedAndRemoved) {
  const u8 first[4] = {10, 0, 0, 1}, second[4] = {10, 0, 0, 2};
  EXPECT_EQ(addHost(nullptr, kFamilyInternet, 4, first), kAccessOk);
  EXPECT_EQ(addHost(nullptr, kFamilyInternet, 4, second), kAccessOk);
  EXPECT_EQ(addHost(nullptr, kFamilyInternet, 4, first), kAccessOk);  // no duplicate
  EXPECT_EQ(removeHost(nullptr, kFamilyInternet, 4, second), kAccessOk);
  std::string entries;
  ASSERT_EQ(hostCount(&entries), 1);
  EXPECT_EQ(entries, std::string("\0\0\4\0\x0a\0\0\1", 8)) << "family, length, address";
  EXPECT_FALSE(refused(remoteClient("10.0.0.1")));
  EXPECT_TRUE(refused(remoteClient("10.0.0.2")));
  setAccessControlEnabled(false);
  EXPECT_FALSE(refused(remoteClient("10.0.0.2")));
}

TEST_F(HostAccess, HostFileEntriesByPrefix) {
  readFile("inet:127.0.0.1\nlocalhost\nnis:unix.0@example\nsi:hostname:localhost\nsi:nosuch:x\n");
  EXPECT_FALSE(refused(remoteClient("127.0.0.1")));
  EXPECT_TRUE(refused(remoteClient("127.0.0.2")));
  // 127.0.0.1 once (the wild name resolves to it again), the net name and the
  // hostname entry; the unknown server-interpreted type adds nothing.
  EXPECT_EQ(hostCount(), 3);
  // Reading the file again replaces the list instead of adding to it.
  readFile("inet:127.0.0.1\n");
  EXPECT_EQ(hostCount(), 1);
  // A hostname entry matches the addresses its name resolves to.
  readFile("si:hostname:localhost\n");
  EXPECT_FALSE(refused(remoteClient("127.0.0.1")));
  EXPECT_TRUE(refused(remoteClient("127.0.0.2")));
}

TEST_F(HostAccess, LocalUserAndGroupMatchThePeerCredentials) {
  SocketPair pair;
  AccessClient local;
  accessClientFromSocket(&local, pair.fds[0]);
  uid_t user;
  gid_t group;
  const gid_t* groups;
  int groupCount;
  ASSERT_EQ(getLocalClientCredentials(&local, &user, &group, &groups, &groupCount), 0);
  EXPECT_EQ(user, getuid());
  EXPECT_TRUE(refused(local));

  std::string other = "localuser:#" + std::to_string(getuid() + 1);
  readFile("si:" + other + "\n");
  EXPECT_TRUE(refused(local));
  readFile("si:localuser:#" + std::to_string(getuid()) + "\n");
  EXPECT_FALSE(refused(local));
  char hex[32];
  snprintf(hex, sizeof hex, "si:localgroup:#0x%x\n", static_cast<unsigned>(getgid()));
  readFile(hex);
  EXPECT_FALSE(refused(local));
  // An internet client has no peer credentials to match.
  AccessClient remote = remoteClient("192.0.2.1");
  EXPECT_TRUE(refused(remote));
  EXPECT_EQ(getLocalClientCredentials(&remote, &user, &group, &groups, &groupCount), -1);
}

TEST_F(HostAccess, LoopbackPeerCountsAsThisHost) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  defineSelfAddresses(listener);
  AccessClient loopback = remoteClient("127.0.0.1");
  EXPECT_TRUE(isLocalClient(&loopback));
  EXPECT_TRUE(isAuthorizedClient(&loopback));
  AccessClient remote = remoteClient("192.0.2.200");
  EXPECT_FALSE(isLocalClient(&remote));
  close(listener);
}

}  // namespace
}  // namespace palvon
