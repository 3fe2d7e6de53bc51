// The failsafe wrappers against real servers that die, freeze or vanish
// while a connection is being set up.
#include <gtest/gtest.h>

#include <X11/Xatom.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <type_traits>

#include "Proxy/config/config.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "base/orders.h"
#include "support/xvfb.h"
#include "xsupport/xtarget.h"

// The exit these tests provoke leaves the proxy's displays open on purpose.
extern "C" void __lsan_disable() __attribute__((weak));

// A connection that breaks inside XOpenDisplay breaks in the first request of
// its first XCreateGC, after Xlib allocated the GC and before it stored it
// anywhere: Xlib's own loss, once per failed attempt, and only here.
extern "C" const char* __lsan_default_suppressions() { return "leak:XCreateGC\n"; }

namespace palvon {
namespace {

ServerDisplay* openOn(const test::Xvfb& server) {
  ServerDisplay* record = nullptr;
  const char* error = openServerDisplay(server.display().c_str(), 5000, &record);
  EXPECT_EQ(error, nullptr) << error;
  return record;
}

void freeAllServerDisplays() {
  while (serverDisplayList) freeServerDisplay(serverDisplayList);
}

// Kills the server and lets one wrapped round trip find the loss.
void loseServer(test::Xvfb& server, ServerDisplay* record) {
  kill(server.pid(), SIGKILL);
  test::stopProcess(server.pid(), SIGKILL, 2000);
  EXPECT_EQ(XfsSync(record->display, False), 0);
}

class FailsafeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char name[] = "palvon";
    char* argv[] = {name, nullptr};
    logInit(1, argv, "test", "");
  }
  void SetUp() override {
    proxyConfig.options = kOptionFailsafe;
    ordersInit();
  }
  void TearDown() override {
    freeAllServerDisplays();
    atomDisplay = nullptr;
    ordersFreeAll();
    proxyConfig.options = 0;
  }
};

// --- Every wrapper on a display already flagged broken ------------------------

// Calls a wrapper with value-initialised arguments: on a flagged display it
// must not look at them. Results are folded into a long for comparison.
template <typename Result, typename... Args>
long callOnFlagged(Result (&wrapper)(Display*, Args...), Display* display) {
  if constexpr (std::is_void_v<Result>) {
    wrapper(display, Args{}...);
    return 0;
  } else if constexpr (std::is_pointer_v<Result>) {
    return wrapper(display, Args{}...) == nullptr ? 0 : 1;
  } else {
    return static_cast<long>(wrapper(display, Args{}...));
  }
}

struct WrapperRow {
  const char* name;
  long (*call)(Display* display);
};

#define PALVON_WRAPPER_ROW(name, function, failure) \
  WrapperRow{#name, [](Display* display) { return callOnFlagged(Xfs##name, display); }},
const WrapperRow kWrapperRows[] = {PALVON_XFS_CALLS(PALVON_WRAPPER_ROW)};
#undef PALVON_WRAPPER_ROW

// What callers are told to expect: -1 events, grab status 3 (not viewable),
// a non-Success status of the property and XInput device calls, else 0 or
// null.
long expectedFailure(const std::string& name) {
  if (name == "EventsQueued") return -1;
  if (name == "GrabPointer" || name == "GrabDevice") return GrabNotViewable;
  for (const char* status : {"GetWindowProperty", "CloseDevice", "ChangePointerDevice", "UngrabDevice", "XIDefineCursor"})
    if (name == status) return 1;
  return 0;
}

class FlaggedDisplayTest : public ::testing::TestWithParam<WrapperRow> {
 protected:
  static void SetUpTestSuite() {
    proxyConfig.options = kOptionFailsafe;
    ordersInit();
    server_ = new test::Xvfb();
    ASSERT_TRUE(server_->ok()) << server_->error();
    record_ = openOn(*server_);
    loseServer(*server_, record_);
  }
  static void TearDownTestSuite() {
    freeAllServerDisplays();
    ordersFreeAll();
    delete server_;
    proxyConfig.options = 0;
  }
  static test::Xvfb* server_;
  static ServerDisplay* record_;
};
test::Xvfb* FlaggedDisplayTest::server_ = nullptr;
ServerDisplay* FlaggedDisplayTest::record_ = nullptr;

TEST_P(FlaggedDisplayTest, ReturnsItsFailureValueWithoutTouchingTheConnection) {
  Display* display = record_->display;
  ASSERT_TRUE(isDisplayOffline(display));
  Order* loss = record_->lossOrder;
  ASSERT_NE(loss, nullptr);
  unsigned long requests = NextRequest(display);
  EXPECT_EQ(GetParam().call(display), expectedFailure(GetParam().name));
  EXPECT_EQ(NextRequest(display), requests);
  // The loss is being handled: reporting it again schedules nothing new.
  EXPECT_EQ(record_->lossOrder, loss);
}

INSTANTIATE_TEST_SUITE_P(EveryWrapper, FlaggedDisplayTest, ::testing::ValuesIn(kWrapperRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FailsafeTest, AFailedPropertyReadLeavesAnEmptyProperty) {
  test::Xvfb server;
  ASSERT_TRUE(server.ok()) << server.error();
  ServerDisplay* record = openOn(server);
  loseServer(server, record);
  Atom type = XA_STRING;
  int format = 8;
  unsigned long count = 5, after = 5;
  unsigned char* data = reinterpret_cast<unsigned char*>(&count);
  EXPECT_NE(XfsGetWindowProperty(record->display, 1, 1, 0, 1, False, AnyPropertyType, &type, &format, &count,
                                 &after, &data),
            Success);
  EXPECT_EQ(type, static_cast<Atom>(None));
  EXPECT_EQ(format, 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(after, 0u);
  EXPECT_EQ(data, nullptr);
}

// --- Servers that die or freeze ---------------------------------------------------

TEST_F(FailsafeTest, AKilledServerFailsAtOnceAndIsDroppedWhileTheOtherWorks) {
  test::Xvfb lost, kept;
  ASSERT_TRUE(lost.ok() && kept.ok());
  ServerDisplay* dying = openOn(lost);
  ServerDisplay* healthy = openOn(kept);
  ASSERT_NE(XfsSync(dying->display, False), 0);

  auto start = std::chrono::steady_clock::now();
  loseServer(lost, dying);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  ASSERT_NE(dying->lossOrder, nullptr);

  // Only the display a wrapper failed on is reported.
  EXPECT_NE(XfsSync(healthy->display, False), 0);
  EXPECT_NE(XfsInternAtom(healthy->display, "PALVON_TEST", False), 0u);
  EXPECT_EQ(healthy->lossOrder, nullptr);

  ordersRun(0);  // the idle order drops the lost server
  EXPECT_EQ(serverDisplayCount, 1u);
  EXPECT_EQ(serverDisplayList, healthy);
  EXPECT_EQ(healthy->index, 1u) << "the other server keeps its index (and its links their slots)";
  EXPECT_NE(XfsSync(healthy->display, False), 0);
}

TEST_F(FailsafeTest, AFrozenServerIsCutOffAfterItsOfflineTimeout) {
  test::Xvfb frozen;
  ASSERT_TRUE(frozen.ok());
  ServerDisplay* record = openOn(frozen);
  record->offlineTimeoutMs = 1000;
  armOfflineTimeout(record);
  ASSERT_EQ(xfsOfflineTimeout(record->display), 1000u);
  ASSERT_NE(XfsSync(record->display, False), 0);

  kill(frozen.pid(), SIGSTOP);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(XfsSync(record->display, False), 0);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  kill(frozen.pid(), SIGCONT);
  // Cut off at its time-out, not at the next one: the rest is room for a
  // busy machine's pace.
  EXPECT_GE(waited.count(), 900);
  EXPECT_LE(waited.count(), 1500);
  EXPECT_TRUE(isDisplayOffline(record->display));
  EXPECT_NE(record->lossOrder, nullptr);
}

// --- Losses the proxy cannot survive ----------------------------------------------

struct FatalRow {
  const char* name;
  u32 options;
  bool atomServer;
  bool wrapped;
  const char* message;  // a regular expression
};

const FatalRow kFatalRows[] = {
    {"WithoutFailsafe", 0, false, true, "Display :[0-9]+ is offline \\(no option Failsafe\\)"},
    {"AtomServer", kOptionFailsafe, true, true, "Display :[0-9]+ is offline \\(atom server\\)"},
    {"OutsideAWrapper", kOptionFailsafe, false, false, "Broken connection to display :[0-9]+ \\("},
};

class FatalLossTest : public ::testing::TestWithParam<FatalRow> {
 protected:
  static void SetUpTestSuite() {
    char name[] = "palvon";
    char* argv[] = {name, nullptr};
    logInit(1, argv, "test", "");
  }
};

TEST_P(FatalLossTest, EndsTheProxyWithStatusOne) {
  GTEST_FLAG_SET(death_test_style, "fast");
  const FatalRow& row = GetParam();
  proxyConfig.options = row.options;
  ordersInit();
  test::Xvfb server;
  ASSERT_TRUE(server.ok());
  ServerDisplay* record = openOn(server);
  if (row.atomServer) atomDisplay = record;
  kill(server.pid(), SIGKILL);
  test::stopProcess(server.pid(), SIGKILL, 2000);
  logSetTarget("stderr");
  auto lose = [&] {
    if (__lsan_disable) __lsan_disable();
    if (row.wrapped) XfsSync(record->display, False);
    else XSync(record->display, False);
  };
  EXPECT_EXIT(lose(), ::testing::ExitedWithCode(1), row.message);
  atomDisplay = nullptr;
  freeAllServerDisplays();
  ordersFreeAll();
  proxyConfig.options = 0;
}

INSTANTIATE_TEST_SUITE_P(Losses, FatalLossTest, ::testing::ValuesIn(kFatalRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --- A server lost while the connection is being set up -----------------------

// Relays one connection to a real server but hangs up right after the
// set-up reply, while Xlib is still making its own first round trip.
class HangUpRelay {
 public:
  explicit HangUpRelay(const std::string& serverSocket) : serverSocket_(serverSocket) {}
  ~HangUpRelay() {
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
    if (!lockPath_.empty()) unlink(lockPath_.c_str());
    if (!path_.empty()) unlink(path_.c_str());
  }
  bool start() {
    for (number_ = 150; number_ < 400; number_++) {
      if (test::claimDisplayNumber(number_, &lockPath_)) break;
    }
    if (lockPath_.empty()) return false;
    path_ = "/tmp/.X11-unix/X" + std::to_string(number_);
    listener_ = listenOn(path_);
    if (listener_ < 0) return false;
    thread_ = std::thread([this] { relayOnce(); });
    return true;
  }
  std::string display() const { return ":" + std::to_string(number_); }

 private:
  static sockaddr_un address(const std::string& path) {
    sockaddr_un where = {};
    where.sun_family = AF_UNIX;
    snprintf(where.sun_path, sizeof where.sun_path, "%s", path.c_str());
    return where;
  }
  static int listenOn(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un where = address(path);
    if (bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(fd, 1) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  static bool readFully(int fd, unsigned char* data, size_t n) {
    while (n) {
      ssize_t got = read(fd, data, n);
      if (got <= 0) return false;
      data += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }
  void relayOnce() {
    int client = accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    int server = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un where = address(serverSocket_);
    if (connect(server, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0) {
      // The set-up request: 12 bytes, then the padded authorization.
      unsigned char setup[4096];
      if (readFully(client, setup, 12)) {
        size_t nameLength = setup[6] | setup[7] << 8, dataLength = setup[8] | setup[9] << 8;
        size_t rest = ((nameLength + 3) & ~3u) + ((dataLength + 3) & ~3u);
        if (rest <= sizeof setup - 12 && readFully(client, setup + 12, rest) &&
            write(server, setup, 12 + rest) == static_cast<ssize_t>(12 + rest)) {
          unsigned char reply[65536];
          if (readFully(server, reply, 8)) {
            size_t length = 8 + 4 * static_cast<size_t>(reply[6] | reply[7] << 8);
            if (length <= sizeof reply && readFully(server, reply + 8, length - 8))
              (void)!write(client, reply, length);
          }
        }
      }
    }
    close(server);
    close(client);
  }

  std::string serverSocket_;
  std::string lockPath_;
  std::string path_;
  int number_ = -1;
  int listener_ = -1;
  std::thread thread_;
};

TEST_F(FailsafeTest, AServerLostDuringSetUpFailsTheAttemptNotTheProcess) {
  test::Xvfb server;
  ASSERT_TRUE(server.ok());
  HangUpRelay relay(server.socketPath());
  ASSERT_TRUE(relay.start());
  xfsInstall();
  TargetOptions options;
  xtargetInitOptions(&options);
  std::string name = relay.display();
  options.displayName = name.c_str();
  options.connectTimeoutMs = 1500;
  Display* display = nullptr;
  const char* error = xtargetOpenDisplay(&options, nullptr, &display);
  EXPECT_EQ(display, nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error).find("Can't connect to display"), std::string::npos) << error;
}

}  // namespace
}  // namespace palvon
