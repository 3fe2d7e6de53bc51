// Server-display helpers against real servers: the MIT-SHM probe, colour
// cells, the lock selection, atom lists, property copies and segments.
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <X11/Xatom.h>

#include <set>
#include <string>
#include <vector>

#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/orders.h"
#include "support/xvfb.h"
#include "xsupport/xtarget.h"

namespace palvon {
namespace {

class ServerDisplayTest : public ::testing::Test {
 protected:
  void TearDown() override {
    while (serverDisplayList) freeServerDisplay(serverDisplayList);
    ordersFreeAll();
  }
  Display* open(const test::Xvfb& server) {
    ServerDisplay* record = nullptr;
    const char* error = openServerDisplay(server.display().c_str(), 5000, &record);
    EXPECT_EQ(error, nullptr) << error;
    return record ? record->display : nullptr;
  }
};

// --- MIT-SHM ---------------------------------------------------------------------

struct ShmRow {
  const char* name;
  std::vector<std::string> arguments;
  const char* reason;  // null: usable
};

const ShmRow kShmRows[] = {
    {"Present", {"-screen", "0", "320x200x24"}, nullptr},
    {"Absent", {"-screen", "0", "320x200x24", "-extension", "MIT-SHM"}, "No MIT-SHM extension"},
};

class ShmProbeTest : public ServerDisplayTest, public ::testing::WithParamInterface<ShmRow> {};

TEST_P(ShmProbeTest, TellsWhetherSharedMemoryWorks) {
  test::Xvfb server(GetParam().arguments);
  ASSERT_TRUE(server.ok()) << server.error();
  Display* display = open(server);
  ASSERT_NE(display, nullptr);
  const char* reason = probeMitShm(display);
  if (GetParam().reason) {
    ASSERT_NE(reason, nullptr);
    EXPECT_STREQ(reason, GetParam().reason);
  } else {
    EXPECT_EQ(reason, nullptr) << reason;
  }
  EXPECT_NE(XfsSync(display, False), 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, ShmProbeTest, ::testing::ValuesIn(kShmRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ShmSegment, IsOwnerOnly) {
  ShmSegment* segment = createShmSegment(4096, false);
  ASSERT_NE(segment, nullptr);
  shmid_ds info = {};
  ASSERT_EQ(shmctl(segment->segmentId, IPC_STAT, &info), 0);
  EXPECT_EQ(info.shm_perm.mode & 07777, 0600u);
  segment->address[4095] = 1;
  destroyShmSegment(segment);
}

// --- Colour cells ----------------------------------------------------------------

struct CellRow {
  u32 taken;     // cells allocated before
  u32 expected;  // cells allocAllColorCells then finds
};

class ColorCellTest : public ServerDisplayTest, public ::testing::WithParamInterface<CellRow> {};

TEST_P(ColorCellTest, TakesEveryFreeCell) {
  test::Xvfb server({"-screen", "0", "320x200x8"});
  ASSERT_TRUE(server.ok()) << server.error();
  Display* display = open(server);
  ASSERT_NE(display, nullptr);
  ASSERT_EQ(DefaultVisual(display, 0)->c_class, PseudoColor);
  Colormap colormap = XfsCreateColormap(display, DefaultRootWindow(display), DefaultVisual(display, 0), AllocNone);
  std::vector<unsigned long> before(GetParam().taken + 1);
  if (GetParam().taken) {
    ASSERT_NE(XAllocColorCells(display, colormap, False, nullptr, 0, before.data(), GetParam().taken), 0);
  }
  unsigned long* pixels = nullptr;
  u32 count = 99;
  EXPECT_EQ(allocAllColorCells(display, colormap, &pixels, &count), nullptr);
  EXPECT_EQ(count, GetParam().expected);
  std::set<unsigned long> distinct(pixels, pixels + count);
  for (u32 i = 0; i < GetParam().taken; i++) distinct.insert(before[i]);
  EXPECT_EQ(distinct.size(), static_cast<size_t>(GetParam().taken + GetParam().expected));
  EXPECT_EQ(pixels == nullptr, GetParam().expected == 0);
  free(pixels);
}

INSTANTIATE_TEST_SUITE_P(Colormaps, ColorCellTest,
                         ::testing::Values(CellRow{0, 256}, CellRow{56, 200}, CellRow{256, 0}));

// --- Lock selection, atoms, time -----------------------------------------------

TEST_F(ServerDisplayTest, TheLockSelectionIsTakenOnceAndReadBack) {
  test::Xvfb server;
  ASSERT_TRUE(server.ok());
  Display* first = open(server);
  Display* second = open(server);
  ASSERT_TRUE(first && second);
  Atom lock = XfsInternAtom(first, "_PALVON_ATOM", False);
  Window mine = XCreateSimpleWindow(first, DefaultRootWindow(first), 0, 0, 1, 1, 0, 0, 0);
  Window theirs = XCreateSimpleWindow(second, DefaultRootWindow(second), 0, 0, 1, 1, 0, 0, 0);
  EXPECT_TRUE(setSelectionText(first, lock, mine, "5"));
  EXPECT_TRUE(setSelectionText(first, lock, mine, "6"));  // the owner may rewrite
  EXPECT_FALSE(setSelectionText(second, lock, theirs, "9"));

  Window owner = None;
  char* text = nullptr;
  ASSERT_TRUE(getSelectionText(second, lock, &owner, &text));
  EXPECT_EQ(owner, mine);
  EXPECT_STREQ(text, "6");
  free(text);
  XfsSetSelectionOwner(first, lock, None, CurrentTime);
  XfsSync(first, False);
  EXPECT_FALSE(getSelectionText(second, lock, &owner, &text));
  EXPECT_EQ(text, nullptr);
}

TEST_F(ServerDisplayTest, AtomNamesStopAtTheFirstUnnamedAtom) {
  test::Xvfb server;
  ASSERT_TRUE(server.ok());
  Display* display = open(server);
  ASSERT_NE(display, nullptr);
  u32 count = 0;
  char** names = listAtomNames(display, &count);
  ASSERT_NE(names, nullptr);
  ASSERT_GE(count, 68u);
  EXPECT_STREQ(names[0], "PRIMARY");
  EXPECT_STREQ(names[XA_WM_TRANSIENT_FOR - 1], "WM_TRANSIENT_FOR");
  XErrorTrap trap(display);
  char* next = XGetAtomName(display, count + 1);
  EXPECT_EQ(next, nullptr);
  EXPECT_EQ(trap.result(), 1);
  freeAtomNames(names, count);

  u32 owners = 0;
  Window* list = listSelectionOwners(display, &owners);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(owners, count);
  free(list);
}

TEST_F(ServerDisplayTest, ServerTimeComesBackAndAdvances) {
  test::Xvfb server;
  ASSERT_TRUE(server.ok());
  Display* display = open(server);
  ASSERT_NE(display, nullptr);
  Time first = getServerTime(display);
  Time second = getServerTime(display);
  EXPECT_NE(first, static_cast<Time>(CurrentTime));
  EXPECT_GE(second, first);
}

// --- Property copies ----------------------------------------------------------------

TEST_F(ServerDisplayTest, PropertiesCopyBetweenServersAndAnEmptySourceDeletes) {
  test::Xvfb a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  Display* from = open(a);
  Display* to = open(b);
  ASSERT_TRUE(from && to);
  Window source = XCreateSimpleWindow(from, DefaultRootWindow(from), 0, 0, 1, 1, 0, 0, 0);
  Window target = XCreateSimpleWindow(to, DefaultRootWindow(to), 0, 0, 1, 1, 0, 0, 0);
  long numbers[3] = {1, -2, 0x7fffffff};
  XChangeProperty(from, source, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>("title"), 5);
  XChangeProperty(from, source, XA_CARDINAL, XA_INTEGER, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(numbers), 3);
  XChangeProperty(to, target, XA_WM_ICON_NAME, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>("stale"), 5);
  XSync(from, False);

  copyAllProperties(from, source, to, target);
  copyProperty(from, source, XA_WM_ICON_NAME, to, target, XA_WM_ICON_NAME);

  unsigned char* data = nullptr;
  unsigned long length = 0;
  Atom type = None;
  int format = 0;
  ASSERT_EQ(readWholeProperty(to, target, XA_WM_NAME, &data, &length, &type, &format), nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), length), "title");
  free(data);
  ASSERT_EQ(readWholeProperty(to, target, XA_CARDINAL, &data, &length, &type, &format), nullptr);
  ASSERT_EQ(length, 3u);
  EXPECT_EQ(format, 32);
  EXPECT_EQ(type, static_cast<Atom>(XA_INTEGER));
  EXPECT_EQ(reinterpret_cast<long*>(data)[1], -2);
  EXPECT_EQ(reinterpret_cast<long*>(data)[2], 0x7fffffff);
  free(data);
  ASSERT_EQ(readWholeProperty(to, target, XA_WM_ICON_NAME, &data, &length, &type, &format), nullptr);
  EXPECT_EQ(type, static_cast<Atom>(None));
  EXPECT_EQ(length, 0u);
  free(data);
}

}  // namespace
}  // namespace palvon
