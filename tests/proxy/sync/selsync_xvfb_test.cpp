// Selections and clocks across two real servers, through the proxy's own
// connections and its display event intake: xclip copies on one Xvfb and
// pastes on the other, raw conversions race each other, and one Xvfb runs
// an hour ahead of the other.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Proxy/input/displayevents.h"
#include "Proxy/input/pointer.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/sync/clocks.h"
#include "Proxy/sync/selections.h"
#include "support/tempdir.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

using Clock = std::chrono::steady_clock;

// An X program in the background (its pid known, stopped at the end), its
// output collected.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const std::string& display) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // dies with the test
      setenv("DISPLAY", display.c_str(), 1);
      dup2(out[1], 1);
      int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, 0);
      std::vector<char*> raw;
      for (const std::string& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
      raw.push_back(nullptr);
      execvp(raw[0], raw.data());
      _exit(127);
    }
    close(out[1]);
    fd_ = out[0];
    fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~Background() {
    if (pid_ > 0 && status_ < 0) test::stopProcess(pid_, SIGTERM, 3000);
    if (fd_ >= 0) close(fd_);
  }
  // Whether it ended (then status() is its exit status).
  bool ended() {
    collect();
    if (status_ >= 0 || pid_ <= 0) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    collect();
    return true;
  }
  int status() const { return status_; }
  const std::string& output() const { return output_; }

 private:
  void collect() {
    char chunk[65536];
    for (ssize_t n; fd_ >= 0 && (n = read(fd_, chunk, sizeof chunk)) > 0;) output_.append(chunk, size_t(n));
  }
  pid_t pid_ = -1;
  int fd_ = -1;
  int status_ = -1;
  std::string output_;
};

class TwoServers : public ::testing::Test {
 protected:
  // Server B's clock runs aheadSeconds ahead of A's.
  explicit TwoServers(int aheadSeconds = 0) : xb({"-screen", "0", "640x480x24"}, 20000, aheadSeconds) {}
  void SetUp() override {
    ASSERT_TRUE(xa.ok()) << xa.error();
    ASSERT_TRUE(xb.ok()) << xb.error();
    xfsInstall();
    ASSERT_EQ(openServerDisplay(xa.display().c_str(), 5000, &a), nullptr);
    ASSERT_EQ(openServerDisplay(xb.display().c_str(), 5000, &b), nullptr);
  }
  void TearDown() override {
    stopTimeSync();
    while (selectionSyncList) stopSelectionSync(selectionSyncList->server);
    while (serverDisplayList) freeServerDisplay(serverDisplayList);
  }
  // Runs the intake of both connections until the condition holds.
  bool pump(const std::function<bool()>& done, int timeoutMs = 5000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      processDisplayEvents(a->display, true);
      processDisplayEvents(b->display, true);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  static SelectionSync* recordOf(const ServerDisplay* server) {
    for (SelectionSync* r = selectionSyncList; r; r = r->next)
      if (r->server == server) return r;
    return nullptr;
  }

  test::Xvfb xa, xb;
  ServerDisplay* a = nullptr;
  ServerDisplay* b = nullptr;
};

class SelectionSyncTest : public TwoServers {
 protected:
  void SetUp() override {
    TwoServers::SetUp();
    ASSERT_EQ(startSelectionSync(a, false), nullptr);
    ASSERT_EQ(startSelectionSync(b, false), nullptr);
  }
  // xclip serving the file's bytes as CLIPBOARD on server A, noted as the
  // owner once the proxy's window there lost it.
  std::unique_ptr<Background> copyOnA(const std::string& bytes) {
    std::string file = dir.file("copy");
    std::ofstream(file, std::ios::binary) << bytes;
    auto owner = std::make_unique<Background>(
        std::vector<std::string>{"xclip", "-quiet", "-selection", "clipboard", "-i", file}, xa.display());
    bool noted = pump([&] { return selectionSyncSlots[2].owner == recordOf(a); });
    EXPECT_TRUE(noted);
    return owner;
  }
  // Pastes CLIPBOARD on server B; the program's exit status and output, and
  // how long it took.
  struct Paste {
    int status;
    std::string output;
    int ms;
  };
  Paste pasteOnB(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {"xclip", "-o", "-selection", "clipboard"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Background paste(argv, xb.display());
    auto start = Clock::now();
    pump([&] { return paste.ended(); }, 10000);
    int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    return Paste{paste.status(), paste.output(), ms};
  }

  test::TempDir dir;
};

TEST_F(SelectionSyncTest, TextCopiedOnOneServerIsPastedOnTheOther) {
  auto owner = copyOnA("hello");
  // The proxy holds the selection on B for A's program.
  EXPECT_EQ(XGetSelectionOwner(b->display, recordOf(b)->atoms[2]), recordOf(b)->window);
  Paste paste = pasteOnB();
  EXPECT_EQ(paste.status, 0);
  EXPECT_EQ(paste.output, "hello");
}

TEST_F(SelectionSyncTest, TargetsArriveAsTheOwnersAtomNames) {
  // Atom numbers on B no longer match A's.
  for (int i = 0; i < 50; i++) XInternAtom(b->display, ("PALVON_TEST_EXTRA_" + std::to_string(i)).c_str(), False);
  XSync(b->display, False);
  auto owner = copyOnA("hello");
  Paste paste = pasteOnB({"-t", "TARGETS"});
  EXPECT_EQ(paste.status, 0);
  EXPECT_NE(paste.output.find("TARGETS"), std::string::npos) << paste.output;
  EXPECT_NE(paste.output.find("UTF8_STRING"), std::string::npos) << paste.output;
  EXPECT_EQ(paste.output.find("PALVON_TEST_EXTRA"), std::string::npos) << paste.output;
}

TEST_F(SelectionSyncTest, AHundredKilobytesArriveWhole) {
  std::string bytes;
  for (int i = 0; bytes.size() < 100 * 1024; i++) bytes += std::to_string(i) + ",";
  auto owner = copyOnA(bytes);
  Paste paste = pasteOnB();
  EXPECT_EQ(paste.status, 0);
  EXPECT_EQ(paste.output.size(), bytes.size());
  EXPECT_TRUE(paste.output == bytes);
}

TEST_F(SelectionSyncTest, AnIncrementalAnswerAndAnEmptyClipboardFailAtOnce) {
  Paste empty = pasteOnB();
  EXPECT_NE(empty.status, 0);
  EXPECT_LT(empty.ms, 3000);
  auto owner = copyOnA(std::string(2 * 1024 * 1024, 'x'));
  Paste incremental = pasteOnB();
  EXPECT_NE(incremental.status, 0);
  EXPECT_LT(incremental.ms, 3000);
}

// Two conversions on B, the second before the first is answered: the first
// is refused, and only the answer to the second reaches its property.
TEST_F(SelectionSyncTest, ANewerRequestRefusesTheOneItReplaces) {
  auto owner = copyOnA("hello");
  Display* d = XOpenDisplay(xb.display().c_str());
  ASSERT_NE(d, nullptr);
  Window requestor = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
  Atom targets = XInternAtom(d, "TARGETS", False), utf8 = XInternAtom(d, "UTF8_STRING", False);
  Atom first = XInternAtom(d, "PALVON_FIRST", False), second = XInternAtom(d, "PALVON_SECOND", False);
  XConvertSelection(d, clipboard, targets, first, requestor, CurrentTime);
  XConvertSelection(d, clipboard, utf8, second, requestor, CurrentTime);
  XSync(d, False);
  std::vector<XSelectionEvent> answers;
  pump([&] {
    while (XPending(d)) {
      XEvent event;
      XNextEvent(d, &event);
      if (event.type == SelectionNotify) answers.push_back(event.xselection);
    }
    return answers.size() >= 2;
  });
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].target, targets);
  EXPECT_EQ(answers[0].property, Atom(None));
  EXPECT_EQ(answers[1].target, utf8);
  EXPECT_EQ(answers[1].property, second);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  ASSERT_EQ(XGetWindowProperty(d, requestor, second, 0, 100, False, AnyPropertyType, &type, &format, &count, &after,
                               &data),
            Success);
  EXPECT_EQ(type, utf8);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), count), "hello");
  XFree(data);
  XCloseDisplay(d);
}

TEST_F(SelectionSyncTest, AProgramsClaimMovesTheSelectionAndSentEventsAreIgnored) {
  SelectionSync* ra = recordOf(a);
  SelectionSync* rb = recordOf(b);
  // A forged SelectionClear changes nothing.
  XEvent forged{};
  forged.xselectionclear.type = SelectionClear;
  forged.xselectionclear.window = rb->window;
  forged.xselectionclear.selection = XA_PRIMARY;
  Display* d = XOpenDisplay(xb.display().c_str());
  ASSERT_NE(d, nullptr);
  XSendEvent(d, rb->window, False, 0, &forged);
  XSync(d, False);
  pump([] { return false; }, 300);
  EXPECT_EQ(selectionSyncSlots[0].owner, nullptr);
  // A real claim on B moves PRIMARY to B; the proxy takes it on A.
  Window own = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(d, XA_PRIMARY, own, CurrentTime);
  XSync(d, False);
  EXPECT_TRUE(pump([&] { return selectionSyncSlots[0].owner == rb; }));
  EXPECT_EQ(XGetSelectionOwner(a->display, XA_PRIMARY), ra->window);
  XCloseDisplay(d);
}

TEST_F(SelectionSyncTest, ADisplayJoiningWithAnOwnerOnlyBecomesTheOwnerWhenNoneIsNoted) {
  stopSelectionSync(a);
  stopSelectionSync(b);
  Display* da = XOpenDisplay(xa.display().c_str());
  Display* db = XOpenDisplay(xb.display().c_str());
  ASSERT_TRUE(da && db);
  Window ownA = XCreateSimpleWindow(da, DefaultRootWindow(da), 0, 0, 1, 1, 0, 0, 0);
  Window ownB = XCreateSimpleWindow(db, DefaultRootWindow(db), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(da, XInternAtom(da, "CLIPBOARD", False), ownA, CurrentTime);
  XSetSelectionOwner(db, XInternAtom(db, "CLIPBOARD", False), ownB, CurrentTime);
  XSync(da, False), XSync(db, False);
  ASSERT_EQ(startSelectionSync(a, false), nullptr);
  EXPECT_EQ(selectionSyncSlots[2].owner, recordOf(a));
  ASSERT_EQ(startSelectionSync(b, false), nullptr);
  EXPECT_EQ(selectionSyncSlots[2].owner, recordOf(a));
  XSync(b->display, False);
  EXPECT_EQ(XGetSelectionOwner(db, XInternAtom(db, "CLIPBOARD", False)), recordOf(b)->window);
  EXPECT_EQ(startSelectionSync(b, true), nullptr);  // already taking part: nothing changes
  EXPECT_EQ(recordOf(b)->refresh, 0u);
  EXPECT_TRUE(isSelectionSyncWindow(b, u32(recordOf(b)->window)));
  EXPECT_FALSE(isSelectionSyncWindow(b, u32(recordOf(b)->window) + 1));
  XCloseDisplay(da), XCloseDisplay(db);
}

TEST_F(SelectionSyncTest, PredefinedAtomsKeepTheirNumbersAndUnknownNamesBecomeNone) {
  EXPECT_EQ(translateAtomBetweenDisplays(a->display, XA_STRING, b->display), Atom(XA_STRING));
  EXPECT_EQ(translateAtomBetweenDisplays(a->display, XA_WM_TRANSIENT_FOR, b->display), Atom(XA_WM_TRANSIENT_FOR));
  Atom mine = XInternAtom(a->display, "PALVON_ONLY_ON_A", False);
  Atom there = translateAtomBetweenDisplays(a->display, mine, b->display);
  char* name = XGetAtomName(b->display, there);
  EXPECT_STREQ(name, "PALVON_ONLY_ON_A");
  XFree(name);
  EXPECT_EQ(translateAtomBetweenDisplays(a->display, 0x3fffff, b->display), Atom(None));
}

// --- Clocks ---------------------------------------------------------------------------------------

class ClockSyncTest : public TwoServers {
 protected:
  ClockSyncTest() : TwoServers(3600) {}
};

TEST_F(ClockSyncTest, ARoundAdoptsTheStartsOfServersAnHourApart) {
  timeDisplay = a;
  bool adopted = false;
  // A round counts only when no answer came slower than in the round
  // before; a busy machine may need a few.
  for (int round = 0; round < 40 && !adopted; round++) {
    ASSERT_EQ(startTimeSync(), nullptr);
    ASSERT_TRUE(pump([] { return timeSyncAwaited() == 0; }));
    adopted = timeSyncBadRounds() == 0 && b->clockOffsetMs != 0;
  }
  ASSERT_TRUE(adopted);
  i64 apart = b->clockOffsetMs - a->clockOffsetMs;
  // Each server stamped its time somewhere within the round trip measured
  // for it, half of which was taken off; what is left is at most the other
  // half, and a millisecond each of the stamp's and the half's rounding.
  double within = a->halfRoundTripMs + b->halfRoundTripMs + 4.0;
  EXPECT_NEAR(double(apart), 3600000.0, within);
  // A time stamp of B is meta time an hour earlier: the two readings are
  // apart by the time between them.
  auto before = Clock::now();
  u32 onB = u32(getServerTime(b->display));
  u32 onA = u32(getServerTime(a->display));
  auto between = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count();
  u32 meta = translateServerTimestamp(onB, b);
  EXPECT_LE(std::abs(i32(meta - onA)), within + double(between)) << meta << " " << onA;
}

// Sampling gives a server its start at once, without waiting for a good
// round: the starts of servers an hour apart are an hour apart.
TEST_F(ClockSyncTest, SamplingGivesStartsAtOnce) {
  timeDisplay = a;
  a->clockOffsetMs = b->clockOffsetMs = 0;
  // Each reading is off by at most half its round trip (and the rounding),
  // all within the sampling's own time.
  auto since = [](Clock::time_point t) {
    return double(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
  };
  auto before = Clock::now();
  sampleServerTimes();
  double within = since(before) + 4.0;
  i64 apart = b->clockOffsetMs - a->clockOffsetMs;
  EXPECT_NEAR(double(apart), 3600000.0, within);
  before = Clock::now();
  u32 onB = u32(getServerTime(b->display));
  u32 onA = u32(getServerTime(a->display));
  EXPECT_LE(std::abs(i32(translateServerTimestamp(onB, b) - onA)), within + since(before));
}

TEST_F(ClockSyncTest, OneServerDisplayRunsNoRound) {
  freeServerDisplay(b);
  b = nullptr;
  ASSERT_EQ(serverDisplayCount, 1u);
  ASSERT_EQ(startTimeSync(), nullptr);
  EXPECT_EQ(timeSyncAwaited(), 0u);
  EXPECT_EQ(a->pingWindow, 0u);
}

}  // namespace
}  // namespace palvon
