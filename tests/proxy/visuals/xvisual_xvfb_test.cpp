// Visual records of real servers: what Xvfb reports at depths 24, 16 and 8
// (checked against xdpyinfo), GLX visual configurations and capabilities,
// the visual properties written and read back, a meta screen over two
// servers of different depths, and emulated PseudoColor on a deep server.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/emulation.h"
#include "Proxy/visuals/visual.h"
#include "gl/glcaps.h"
#include "support/logcapture.h"
#include "support/peers/fakeserver.h"
#include "support/xprogram.h"
#include "support/xvfb.h"
#include "xsupport/xtarget.h"

namespace palvon {
namespace {

using test::Xvfb;

// An Xlib connection of the proxy's kind: failsafe, X errors trapped.
struct Connection {
  explicit Connection(const std::string& name) {
    xfsInstall();
    XSetErrorHandler(xtargetErrorHandler);
    display = XOpenDisplay(name.c_str());
    if (display) xfsAttach(display);
  }
  ~Connection() {
    if (!display) return;
    xfsForget(display);
    XCloseDisplay(display);
  }
  Display* display = nullptr;
};

struct HeadVisuals {
  HeadVisuals(Display* display, int screen) { error = getHeadVisuals(display, screen, &records, &count); }
  ~HeadVisuals() { freeHeadVisuals(records, count); }
  const char* error;
  VisualRecord* records = nullptr;
  i32 count = 0;
};

// --- What xdpyinfo says -----------------------------------------------------

struct ListedVisual {
  u32 id = 0;
  std::string className;
  u32 depth = 0;
  u32 colormapSize = 0;
  u32 masks[3] = {0, 0, 0};
  u32 bits = 0;
};

struct Listing {
  u32 defaultVisual = 0;
  std::vector<ListedVisual> visuals;
  std::map<u32, u32> doubleBuffered;  // visual -> perflevel
  std::map<u32, u32> pictFormat;      // visual -> format
  std::map<u32, u32> formatAlpha;     // format -> alpha mask
};

u32 number(const std::string& word) { return static_cast<u32>(std::stoul(word, nullptr, 0)); }

Listing listScreen(const std::string& display, int screen) {
  auto result = test::runProgram({"xdpyinfo", "-ext", "DOUBLE-BUFFER", "-ext", "RENDER"}, display);
  EXPECT_EQ(result.status, 0) << result.err;
  Listing out;
  std::istringstream lines(result.out);
  std::string line, section;
  int inScreen = -1, dbeScreen = -1, renderScreen = -1;
  u32 format = 0, visual = 0;
  std::vector<u32> indexed;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::string a, b, c, d, e, f;
    in >> a >> b >> c >> d >> e >> f;
    if (a == "screen" && b.size() > 1 && b[0] == '#') inScreen = std::stoi(b.substr(1)), section = "core";
    if (a == "DOUBLE-BUFFER" || a == "RENDER") section = a, inScreen = -1;
    if (section == "core" && inScreen == screen) {
      if (a == "default" && b == "visual") out.defaultVisual = number(d);
      if (a == "visual" && b == "id:") out.visuals.push_back({}), out.visuals.back().id = number(c);
      if (out.visuals.empty()) continue;
      ListedVisual& v = out.visuals.back();
      if (a == "class:") v.className = b;
      if (a == "depth:") v.depth = number(b);
      if (a == "available") v.colormapSize = number(d);
      if (a == "red," && b == "green,") {
        v.masks[0] = number(e.substr(0, e.size() - 1));
        v.masks[1] = number(f.substr(0, f.size() - 1));
        in >> f;
        v.masks[2] = number(f);
      }
      if (a == "significant") v.bits = number(f);
    }
    if (section == "DOUBLE-BUFFER") {
      if (a == "Double-buffered") dbeScreen = std::stoi(e);
      std::string level;
      in >> level;  // "visual id 0x21  depth 24  perflevel 0"
      if (a == "visual" && f == "perflevel" && dbeScreen == screen) out.doubleBuffered[number(c)] = number(level);
    }
    if (section == "RENDER") {
      if (a == "format" && b == "id:") format = number(c);
      if (a == "type:" && b != "Direct") indexed.push_back(format);
      if (a == "alpha:") out.formatAlpha[format] = number(d);
      if (a == "Screen" && c == "(sub-pixel") renderScreen = std::stoi(b);
      if (a == "visual" && b == "id:") visual = number(c);
      // Only formats of direct type name a visual's pixels; depth formats
      // list no visual.
      if (a == "pict" && b == "format" && c == "id:" && renderScreen == screen && visual &&
          std::count(indexed.begin(), indexed.end(), number(d)) == 0)
        out.pictFormat[visual] = number(d);
      if (a == "pict") visual = 0;
    }
  }
  return out;
}

struct DepthCase {
  int screen;
  int depth;
};

class RecordsTest : public ::testing::TestWithParam<DepthCase> {};

TEST_P(RecordsTest, MatchXdpyinfo) {
  Xvfb server({"-screen", "0", "320x200x24", "-screen", "1", "320x200x16", "-screen", "2", "320x200x8"});
  ASSERT_TRUE(server.ok()) << server.error();
  Connection c(server.display());
  ASSERT_NE(c.display, nullptr);
  int screen = GetParam().screen;
  HeadVisuals head(c.display, screen);
  ASSERT_EQ(head.error, nullptr);
  Listing listing = listScreen(server.display(), screen);
  ASSERT_EQ(head.count, static_cast<i32>(listing.visuals.size()));
  u32 defaults = 0, withRender = 0;
  for (i32 i = 0; i < head.count; i++) {
    const VisualRecord& r = head.records[i];
    const ListedVisual& v = listing.visuals[i];
    SCOPED_TRACE(describeVisual(&r));
    EXPECT_EQ(r.visualId, v.id);
    EXPECT_EQ(visualClassName(r.visualClass), v.className);
    EXPECT_EQ(r.depth, v.depth);
    EXPECT_EQ(r.colormapSize, v.colormapSize);
    EXPECT_EQ(r.bitsPerRgb, v.bits);
    EXPECT_EQ(r.screen, screen);
    // Below TrueColor the records keep no channel masks.
    bool direct = r.visualClass >= kClassTrueColor;
    EXPECT_EQ(r.redMask, direct ? v.masks[0] : 0u);
    EXPECT_EQ(r.greenMask, direct ? v.masks[1] : 0u);
    EXPECT_EQ(r.blueMask, direct ? v.masks[2] : 0u);
    EXPECT_EQ(r.isDefault != 0, r.visualId == listing.defaultVisual);
    defaults += r.isDefault;
    auto dbe = listing.doubleBuffered.find(r.visualId);
    EXPECT_EQ(r.dbeCapable != 0, dbe != listing.doubleBuffered.end());
    if (dbe != listing.doubleBuffered.end()) {
      EXPECT_EQ(r.dbePerfLevel, dbe->second);
    }
    auto format = listing.pictFormat.find(r.visualId);
    EXPECT_EQ(r.renderFormat, format == listing.pictFormat.end() ? 0u : format->second);
    if (format != listing.pictFormat.end()) {
      EXPECT_EQ(r.alphaBits, __builtin_popcount(listing.formatAlpha[format->second]));
      withRender++;
    }
    EXPECT_EQ(r.mbufMono, -1);  // Xvfb has no Multi-Buffering
  }
  EXPECT_EQ(defaults, 1u);
  EXPECT_GT(withRender, 0u);
}

INSTANTIATE_TEST_SUITE_P(Xvfb, RecordsTest, ::testing::Values(DepthCase{0, 24}, DepthCase{1, 16}, DepthCase{2, 8}),
                         [](const auto& info) { return "Depth" + std::to_string(info.param.depth); });

// No server here has Multi-Buffering: the fake server answers for it, with a
// stereo list that claims more entries than it carries.
TEST(MultiBuffering, MaximumBuffersPerVisual) {
  test::FakeXServer server;
  ASSERT_TRUE(server.ok());
  constexpr uint8_t kMbuf = 150;
  server.addExtension("Multi-Buffering", kMbuf);
  server.setResponder(kMbuf, [](const test::Bytes& request) {
    EXPECT_EQ(request[1], 8);  // GetBufferInfo
    test::Bytes body = {2, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    // mono: the screen's visual with 4 buffers, an unknown visual; stereo: 2
    for (u32 info : {0x21u, 4u, 0x99u, 3u, 0x21u, 2u}) {
      for (int i = 0; i < 4; i++) body.push_back(static_cast<uint8_t>(info >> (8 * i)));
    }
    return test::FakeXServer::reply(body);
  });
  Connection c(server.display());
  ASSERT_NE(c.display, nullptr);
  HeadVisuals head(c.display, 0);
  ASSERT_EQ(head.error, nullptr);
  ASSERT_EQ(head.count, 1);
  EXPECT_EQ(head.records[0].mbufMono, 4);
  EXPECT_EQ(head.records[0].mbufStereo, 2);
  EXPECT_STREQ(describeVisual(head.records), "TrueColor 24 bit (#33, mono, stereo)");
}

// --- GLX ------------------------------------------------------------------------

struct GLXCase {
  const char* name;
  std::vector<std::string> options;
  bool configs;  // the visual configurations can be read
  bool context;  // an indirect context can be made
};

class GLXTest : public ::testing::TestWithParam<GLXCase> {};

TEST_P(GLXTest, ConfigsAndCapabilities) {
  std::vector<std::string> args = {"-screen", "0", "320x200x24"};
  args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
  Xvfb server(args);
  ASSERT_TRUE(server.ok()) << server.error();
  Connection c(server.display());
  ASSERT_NE(c.display, nullptr);
  HeadVisuals head(c.display, 0);
  ASSERT_EQ(head.error, nullptr);
  u32 withGL = 0, withFbConfig = 0;
  for (i32 i = 0; i < head.count; i++) {
    const VisualRecord& r = head.records[i];
    if (!r.glxVersion) continue;
    withGL++;
    withFbConfig += r.fbConfig[kFbConfigId] != 0;
    EXPECT_EQ(r.glxVersion, 68) << describeVisual(&r);  // GLX 1.4
    EXPECT_EQ(r.xRenderable, 1u);
    EXPECT_EQ(r.bufferSize, r.redSize + r.greenSize + r.blueSize + r.alphaSize);
  }
  EXPECT_EQ(withGL > 0, GetParam().configs);
  EXPECT_EQ(withFbConfig, withGL);
  u32 numVisuals = 0, numPairs = 0;
  u32* list = buildGLXVisualConfigs(head.records, head.count, false, &numVisuals, &numPairs);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(numVisuals, withGL);
  free(list);

  GLCapabilities caps;
  EXPECT_EQ(queryHeadGLX(c.display, 0, &caps), GetParam().context);
  if (GetParam().context) {
    // The context was made and every query answered. (This Xvfb's indirect
    // GL answers them without GL state behind the context: empty strings,
    // so their contents are not checked.)
    EXPECT_EQ(caps.glxVersion, 68);
    EXPECT_NE(std::string(caps.glxExtensions).find("GLX_"), std::string::npos);
  }
  // The connection is still good for the next request.
  EXPECT_NE(XfsSync(c.display, False), 0);
  EXPECT_FALSE(isDisplayOffline(c.display));
}

INSTANTIATE_TEST_SUITE_P(Xvfb, GLXTest,
                         ::testing::Values(GLXCase{"IndirectGLX", {"+iglx"}, true, true},
                                           GLXCase{"NoIndirectContexts", {"-iglx"}, true, false},
                                           GLXCase{"NoGLX", {"-extension", "GLX"}, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Properties written and read back --------------------------------------------

TEST(VisualPropertiesOnXvfb, WrittenPropertiesReadBackAndEmptyOnesAreRemoved) {
  Xvfb server({"-screen", "0", "320x200x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  Connection c(server.display());
  ASSERT_NE(c.display, nullptr);
  Window root = DefaultRootWindow(c.display);
  HeadVisuals plain(c.display, 0);
  ASSERT_EQ(plain.error, nullptr);
  ASSERT_GE(plain.count, 3);
  // Overlay information on two visuals, matrices, and correction tables of
  // both types.
  VisualRecord* published = copyVisualRecords(plain.records, plain.count);
  published[0].overlayFormat = 32, published[0].overlayLayer = 1, published[0].transparentType = 1;
  published[0].transparentValue = 0xfe;
  published[2].overlayFormat = 32, published[2].overlayLayer = -1;
  for (i32 i = 0; i < plain.count; i++) {
    published[i].hasMatrices = 1;
    for (int m = 0; m < 18; m++) published[i].matrices[m] = (m - 7) * 4096;
  }
  // Intensities that 16-bit items carry exactly.
  static ColorCorrectionEntry pairs[3] = {{0, 0.0}, {0x8000, 16384 / 65535.0}, {0xffff, 1.0}};
  static ColorCorrectionEntry spread[2] = {{0, 0.0}, {0xffff, 1.0}};
  VisualRecord tables{};
  tables.redTable = pairs, tables.redCount = 3, tables.greenTable = pairs, tables.greenCount = 3;
  tables.blueTable = pairs, tables.blueCount = 3;
  tables.correctionType = 0, tables.correctionTables = 1;
  VisualRecord copy{};
  ASSERT_TRUE(copyVisualRecord(&tables, &copy));
  published[1].redTable = copy.redTable, published[1].greenTable = copy.greenTable;
  published[1].blueTable = copy.blueTable;
  published[1].redCount = published[1].greenCount = published[1].blueCount = 3;
  published[1].correctionTables = 1;
  tables.redTable = tables.greenTable = tables.blueTable = spread;
  tables.redCount = tables.greenCount = tables.blueCount = 2;
  tables.correctionType = 1, tables.correctionTables = 3;
  ASSERT_TRUE(copyVisualRecord(&tables, &copy));
  published[2].redTable = copy.redTable, published[2].greenTable = copy.greenTable;
  published[2].blueTable = copy.blueTable;
  published[2].redCount = published[2].greenCount = published[2].blueCount = 2;
  published[2].correctionType = 1, published[2].correctionTables = 3;
  ASSERT_EQ(publishVisualProperties(c.display, root, published, plain.count), nullptr);

  HeadVisuals read(c.display, 0);
  ASSERT_EQ(read.error, nullptr);
  for (i32 i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(read.records[i].overlayFormat, published[i].overlayFormat);
    EXPECT_EQ(read.records[i].overlayLayer, published[i].overlayLayer);
    EXPECT_EQ(read.records[i].transparentType, published[i].transparentType);
    EXPECT_EQ(read.records[i].transparentValue, published[i].transparentValue);
    EXPECT_TRUE(sameColorCharacterisation(&read.records[i], &published[i]));
    EXPECT_EQ(read.records[i].correctionTables, published[i].correctionTables);
    EXPECT_EQ(scoreVisualMatch(&published[i], &read.records[i], 0), 0u);
  }
  EXPECT_EQ(read.records[3 % read.count].redTable, nullptr);

  test::LogCapture log({&logChStep});
  ASSERT_EQ(publishVisualProperties(c.display, root, plain.records, plain.count), nullptr);
  EXPECT_TRUE(log.contains("step: Removing SERVER_OVERLAY_VISUALS property ..."));
  HeadVisuals cleared(c.display, 0);
  for (i32 i = 0; i < cleared.count; i++) {
    EXPECT_EQ(cleared.records[i].overlayFormat | cleared.records[i].hasMatrices, 0);
    EXPECT_EQ(cleared.records[i].redTable, nullptr);
  }
  freeHeadVisuals(published, plain.count);
}

TEST(VisualPropertiesOnXvfb, StandardColormapsAreRemoved) {
  Xvfb server({"-screen", "0", "320x200x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  Connection c(server.display());
  ASSERT_NE(c.display, nullptr);
  Window root = DefaultRootWindow(c.display);
  long item = 1;
  for (Atom map : {XA_RGB_DEFAULT_MAP, XA_RGB_GRAY_MAP})
    XChangeProperty(c.display, root, map, XA_INTEGER, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&item), 1);
  XChangeProperty(c.display, root, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>("kept"), 4);
  XSync(c.display, False);
  removeStandardColormaps(c.display, 0);
  int count = 0;
  Atom* names = XListProperties(c.display, root, &count);
  std::vector<Atom> left(names, names + count);
  XFree(names);
  EXPECT_EQ(std::count(left.begin(), left.end(), XA_RGB_DEFAULT_MAP), 0);
  EXPECT_EQ(std::count(left.begin(), left.end(), XA_RGB_GRAY_MAP), 0);
  EXPECT_EQ(std::count(left.begin(), left.end(), XA_WM_NAME), 1);
}

// --- A meta screen over two servers -------------------------------------------

struct MetaCase {
  const char* name;
  std::vector<std::string> first, second;  // options of each server; the second holds the colour head
  u8 mappedDepth;     // the first head shows this client depth at its own depth (0: none)
  u64 offeredDepths;  // bit n: depth n offered
  bool fails;
};

class MetaScreenTest : public ::testing::TestWithParam<MetaCase> {};

TEST_P(MetaScreenTest, OffersWhatBothHeadsShow) {
  const MetaCase& p = GetParam();
  Xvfb one(p.first), two(p.second);
  ASSERT_TRUE(one.ok() && two.ok());
  Connection a(one.display()), b(two.display());
  ASSERT_TRUE(a.display && b.display);
  MetaScreen screen{};
  Head heads[2] = {};
  Connection* connections[2] = {&a, &b};
  for (int i = 0; i < 2; i++) {
    heads[i].display = connections[i]->display;
    heads[i].metaScreen = &screen;
    snprintf(heads[i].name, sizeof(heads[i].name), "head%d", i);
    ASSERT_EQ(getHeadVisuals(heads[i].display, 0, &heads[i].visuals, &heads[i].visualCount), nullptr);
  }
  heads[0].next = &heads[1];
  if (p.mappedDepth) {
    heads[0].depthTable[p.mappedDepth] = heads[0].visuals[0].depth;
    heads[0].depthTableSize = p.mappedDepth + 1;
  }
  screen.heads = &heads[0];
  screen.colorHead = &heads[1];
  screen.visuals = copyVisualRecords(heads[1].visuals, heads[1].visualCount);
  screen.visualCount = heads[1].visualCount;
  visualMatchContext = {true, false};

  test::LogCapture log({&logChXhint, &logChInfo});
  const char* error = reconcileMetaVisuals(&screen);
  if (p.fails) {
    EXPECT_STREQ(error, "No visuals left after adjusting - Maybe color tag not set to the screen with the least "
                        "significant visual bits");
  } else {
    ASSERT_EQ(error, nullptr);
    // Exactly the colour head's visuals of a depth the other head shows.
    u32 expected = 0;
    for (i32 i = 0; i < heads[1].visualCount; i++) expected += (p.offeredDepths >> heads[1].visuals[i].depth) & 1;
    EXPECT_EQ(screen.visualCount, static_cast<i32>(expected));
    for (i32 i = 0; i < screen.visualCount; i++) {
      EXPECT_TRUE((p.offeredDepths >> screen.visuals[i].depth) & 1) << describeVisual(&screen.visuals[i]);
      screen.visuals[i].visualId = 500 + i;  // the ids the proxy offers
    }
    u32 dropped = 0;
    for (auto& line : log.lines()) dropped += line.rfind("Xhint: No ", 0) == 0 && line.ends_with(" at head0");
    EXPECT_EQ(dropped, heads[1].visualCount - expected);
    log.clear();
    screen.rootVisual = &screen.visuals[0];
    detailFlags |= kDetailVisuals;
    for (auto& head : heads) ASSERT_EQ(buildHeadVisualMatches(&head, &screen), nullptr);
    logMetaVisualDetails(&screen);
    detailFlags &= ~kDetailVisuals;
    for (i32 i = 0; i < screen.visualCount; i++) {
      const VisualRecord* meta = &screen.visuals[i];
      for (auto& head : heads) {
        const VisualRecord* match = lookupHeadVisual(meta, &head);
        ASSERT_NE(match, nullptr);
        EXPECT_EQ(match->visualClass, meta->visualClass);
        EXPECT_TRUE(log.contains("info: visual #" + std::to_string(meta->visualId) + " = " + describeVisual(match)));
        EXPECT_TRUE(log.contains("info:   " + std::string(describeVisual(match)) + "@" + head.name));
      }
      EXPECT_TRUE(log.contains("info: " + std::string(describeVisual(meta)) + (i == 0 ? " [default]" : "")));
    }
  }
  for (auto& head : heads) {
    freeHeadVisuals(head.visualMatches, head.visualMatchCount);
    freeHeadVisuals(head.visuals, head.visualCount);
  }
  freeHeadVisuals(screen.visuals, screen.visualCount);
}

const std::vector<std::string> k24 = {"-screen", "0", "320x200x24"};
const std::vector<std::string> k16 = {"-screen", "0", "320x200x16"};
const std::vector<std::string> k24Flat = {"-screen", "0", "320x200x24", "-extension", "Composite"};
const std::vector<std::string> k16Flat = {"-screen", "0", "320x200x16", "-extension", "Composite"};

INSTANTIATE_TEST_SUITE_P(Xvfb, MetaScreenTest,
                         ::testing::Values(MetaCase{"ArgbVisualsOnly", k24, k16, 0, 1ull << 32, false},
                                           MetaCase{"DeepColourHead", k16, k24, 0, 1ull << 32, false},
                                           MetaCase{"SixteenShownAtTwentyFour", k24, k16, 16,
                                                    (1ull << 16) | (1ull << 32), false},
                                           MetaCase{"NothingInCommon", k24Flat, k16Flat, 0, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Emulated PseudoColor on a 24-bit server ------------------------------------

TEST(EmulationOnXvfb, PseudoColor8OnDirectColor24) {
  Xvfb server({"-screen", "0", "320x200x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  Connection c(server.display());
  ASSERT_NE(c.display, nullptr);
  HeadVisuals head(c.display, 0);
  ASSERT_EQ(head.error, nullptr);
  VisualRecord* added = nullptr;
  i32 count = 0;
  ASSERT_EQ(emulateVisuals(c.display, head.records, head.count, kEmulatePseudoColor8 | kEmulateOnlyMissing, &added,
                           &count),
            nullptr);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(added[0].colormapSize, 256);
  auto colormap = std::make_unique<EmulatedColormap>();
  ASSERT_EQ(createEmulatedColormap(c.display, DefaultRootWindow(c.display), &added[0], colormap.get()), nullptr);
  ASSERT_NE(colormap->serverColormap, 0u);
  // The server colormap is the head's DirectColor visual with every cell
  // writable.
  XColor store{7, 0x1010, 0x2020, 0x3030, DoRed | DoGreen | DoBlue, 0};
  XErrorTrap trap(c.display);
  XStoreColor(c.display, colormap->serverColormap, &store);
  XSync(c.display, False);
  EXPECT_EQ(trap.result(), 0);

  XColor screenColour, exact;
  ASSERT_TRUE(allocNamedEmulatedColor(c.display, colormap.get(), "Gray50", 6, &screenColour, &exact));
  EXPECT_EQ(exact.red, 0x7f7f);
  EXPECT_EQ(screenColour.red, 0x7f7f);  // eight bits spread over 16
  XColor again;
  ASSERT_TRUE(lookupColorNameCached(c.display, colormap.get(), "gray50", 6, &again));
  EXPECT_EQ(again.red, 0x7f7f);  // from the cache, exact as the first time
  EXPECT_FALSE(lookupColorNameCached(c.display, colormap.get(), "no such colour", 14, &again));
  for (u32 i = 1; i < 256; i++) {
    XColor colour{0, static_cast<unsigned short>(i << 8), 0, 0, 0, 0};
    ASSERT_TRUE(allocEmulatedColor(c.display, colormap.get(), &colour)) << i;
  }
  XColor full{0, 1, 0xffff, 0xffff, 0, 0};
  EXPECT_FALSE(allocEmulatedColor(c.display, colormap.get(), &full));

  auto copy = std::make_unique<EmulatedColormap>();
  ASSERT_TRUE(copyEmulatedColormapAndFree(c.display, colormap.get(), copy.get()));
  EXPECT_NE(copy->serverColormap, colormap->serverColormap);
  EXPECT_EQ(memcmp(copy->cells, colormap->cells, sizeof(copy->cells)), 0);
  XQueryColor(c.display, copy->serverColormap, &store);
  XSync(c.display, False);
  EXPECT_EQ(store.green, 0x2020);  // the cells moved with the colormap
  XFreeColormap(c.display, copy->serverColormap);
  XFreeColormap(c.display, colormap->serverColormap);
  freeHeadVisuals(added, count);
}

}  // namespace
}  // namespace palvon
