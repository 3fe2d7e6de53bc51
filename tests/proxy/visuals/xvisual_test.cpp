// Visual records without a server: the match score, descriptions, the
// properties that describe visuals (as a server may hold them, malformed
// too), GLX configuration lists, RENDER format replies and matching meta
// visuals to head visuals.
#include <gtest/gtest.h>

#include <GL/glxtokens.h>

#include <cstring>
#include <functional>
#include <vector>

#include "Proxy/heads/screen.h"
#include "Proxy/visuals/visual.h"
#include "support/logcapture.h"

namespace palvon {
namespace {

VisualRecord trueColor24(u32 id = 33) {
  VisualRecord r{};
  r.visualId = id;
  r.visualClass = kClassTrueColor;
  r.depth = 24;
  r.colormapSize = 256;
  r.bitsPerRgb = 8;
  r.mbufMono = r.mbufStereo = -1;
  setVisualMasks(&r, 0xff0000, 0xff00, 0xff);
  return r;
}

using Edit = std::function<void(VisualRecord&)>;
void none(VisualRecord&) {}

// --- Score ------------------------------------------------------------------

struct ScoreCase {
  const char* name;
  Edit wanted;
  Edit candidate;
  u32 layerMode;
  u32 expected;  // kVisualIncompatible: at least that
};

class ScoreTest : public ::testing::TestWithParam<ScoreCase> {};

TEST_P(ScoreTest, Cost) {
  const ScoreCase& c = GetParam();
  VisualRecord wanted = trueColor24(), candidate = trueColor24();
  c.wanted(wanted);
  c.candidate(candidate);
  u32 score = scoreVisualMatch(&wanted, &candidate, c.layerMode);
  if (c.expected == kVisualIncompatible) {
    EXPECT_GE(score, kVisualIncompatible);
  } else {
    EXPECT_EQ(score, c.expected);
  }
}

const ScoreCase kScoreCases[] = {
    {"Same", none, none, 0, 0},
    {"OtherClass", none, [](VisualRecord& r) { r.visualClass = kClassDirectColor; }, 0, kVisualIncompatible},
    {"OtherClassEvenWhenAllElseMatches", [](VisualRecord& r) { r.visualClass = kClassPseudoColor; }, none, 1,
     kVisualIncompatible},
    {"Emulated", none, [](VisualRecord& r) { r.emulatedVisualId = 90; }, 0, 1024},
    {"EmulatedOtherId", none, [](VisualRecord& r) { r.emulatedVisualId = 90, r.visualId = 34; }, 0, 1025},
    {"SmallerColormap", none, [](VisualRecord& r) { r.colormapSize = 64; }, 0, 512},
    {"LargerColormap", none, [](VisualRecord& r) { r.colormapSize = 4096; }, 0, 2},
    {"FewerBitsPerRgb", none, [](VisualRecord& r) { r.bitsPerRgb = 6; }, 0, 1024},
    {"MoreBitsPerRgb", none, [](VisualRecord& r) { r.bitsPerRgb = 10; }, 0, 2},
    {"OtherMasks", none, [](VisualRecord& r) { setVisualMasks(&r, 0xff, 0xff00, 0xff0000); }, 0, 16},
    {"LayerWithMode1", none, [](VisualRecord& r) { r.overlayLayer = 1; }, 1, 2},
    {"LayerStrict", none, [](VisualRecord& r) { r.overlayLayer = 1; }, 0, kVisualIncompatible},
    {"CandidateTransparentPixel", none, [](VisualRecord& r) { r.transparentType = 1, r.transparentValue = 5; },
     0, 128},
    {"CandidateOpaque", [](VisualRecord& r) { r.transparentType = 1; }, none, 0, 256},
    {"CandidateTransparentMask", none, [](VisualRecord& r) { r.transparentType = 2; }, 0, kVisualIncompatible},
    {"OtherTransparentPixel", [](VisualRecord& r) { r.transparentType = 1, r.transparentValue = 1; },
     [](VisualRecord& r) { r.transparentType = 1, r.transparentValue = 2; }, 0, kVisualIncompatible},
    {"CandidateDoubleBuffered", none, [](VisualRecord& r) { r.dbeCapable = 1; }, 0, 2},
    {"CandidateSingleBuffered", [](VisualRecord& r) { r.dbeCapable = 1; }, none, 0, 4096},
    {"SlowerDoubleBuffer", [](VisualRecord& r) { r.dbeCapable = 1, r.dbePerfLevel = 3; },
     [](VisualRecord& r) { r.dbeCapable = 1, r.dbePerfLevel = 1; }, 0, 8},
    {"FasterDoubleBuffer", [](VisualRecord& r) { r.dbeCapable = 1; },
     [](VisualRecord& r) { r.dbeCapable = 1, r.dbePerfLevel = 1; }, 0, 2},
    {"CandidateRenderFormat", none, [](VisualRecord& r) { r.renderFormat = 7; }, 0, 2},
    {"NoRenderFormat", [](VisualRecord& r) { r.renderFormat = 7; }, none, 0, 2048},
    {"LessAlpha", [](VisualRecord& r) { r.renderFormat = 7, r.alphaBits = 8; },
     [](VisualRecord& r) { r.renderFormat = 7; }, 0, 2048},
    {"MoreAlpha", [](VisualRecord& r) { r.renderFormat = 7; },
     [](VisualRecord& r) { r.renderFormat = 7, r.alphaBits = 8; }, 0, 2},
    {"CandidateGamma", none, [](VisualRecord& r) { r.hasMatrices = 1; }, 0, 2},
    {"NoGamma", [](VisualRecord& r) { r.hasMatrices = 1; }, none, 0, 32},
    {"OtherGamma", [](VisualRecord& r) { r.hasMatrices = 1, r.matrices[4] = 3; },
     [](VisualRecord& r) { r.hasMatrices = 1; }, 0, 32},
    {"SameGamma", [](VisualRecord& r) { r.hasMatrices = 1, r.matrices[4] = 3; },
     [](VisualRecord& r) { r.hasMatrices = 1, r.matrices[4] = 3; }, 0, 0},
};
INSTANTIATE_TEST_SUITE_P(Visuals, ScoreTest, ::testing::ValuesIn(kScoreCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Descriptions -----------------------------------------------------------

struct DescribeCase {
  const char* name;
  Edit edit;
  const char* expected;
};

class DescribeTest : public ::testing::TestWithParam<DescribeCase> {};

TEST_P(DescribeTest, Text) {
  VisualRecord r = trueColor24();
  GetParam().edit(r);
  EXPECT_STREQ(describeVisual(&r), GetParam().expected);
}

const DescribeCase kDescribeCases[] = {
    {"Plain", none, "TrueColor 24 bit (#33)"},
    {"Precision", [](VisualRecord& r) { setVisualMasks(&r, 0xf800, 0x7e0, 0x1f), r.depth = 16, r.bitsPerRgb = 6; },
     "TrueColor 16 bit (#33, 6 bit prec.)"},
    {"PseudoColor",
     [](VisualRecord& r) { r.visualClass = kClassPseudoColor, r.depth = 8, setVisualMasks(&r, 0, 0, 0); },
     "PseudoColor 8 bit (#33)"},
    {"Everything",
     [](VisualRecord& r) {
       r.emulatedVisualId = 2, r.dbeCapable = 1, r.mbufMono = 2, r.mbufStereo = 0;
       r.overlayLayer = -1, r.transparentType = 2, r.transparentValue = 15;
       r.glxVersion = 68, r.stereo = 1, r.doubleBuffer = 1, r.fbConfig[kFbDrawableType] = 7;
       r.level = 1, r.fbConfig[kFbSamples] = 4, r.alphaSize = 8, r.depthSize = 24, r.stencilSize = 8;
       r.auxBuffers = 2, r.renderFormat = 9, r.alphaBits = 8, r.hasMatrices = 1;
     },
     "TrueColor 24 bit (#33, emulated, double-buf, mono, stereo, overlay -1, transparent mask 15, GL "
     "color-indexed stereo double p-buffered layered multi alpha=8 Z=24 stencil=8 aux=2, 8 bit alpha, gamma)"},
    {"TransparentPixelOnlyWithLayer", [](VisualRecord& r) { r.transparentType = 1; }, "TrueColor 24 bit (#33)"},
};
INSTANTIATE_TEST_SUITE_P(Visuals, DescribeTest, ::testing::ValuesIn(kDescribeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VisualMasks, BelowTrueColorOnlyEmulatedKeepMasks) {
  VisualRecord r = trueColor24();
  EXPECT_EQ(r.redShift, 16u);
  EXPECT_EQ(r.greenBits, 8u);
  r.visualClass = kClassStaticColor;
  setVisualMasks(&r, 0x7, 0x38, 0xc0);
  EXPECT_EQ(r.redMask | r.greenMask | r.blueMask | r.blueShift | r.blueBits, 0u);
  r.emulatedVisualId = 5;
  setVisualMasks(&r, 0x7, 0x38, 0xc0);
  EXPECT_EQ(r.blueMask, 0xc0u);
  EXPECT_EQ(r.blueShift, 6u);
  EXPECT_EQ(r.greenBits, 3u);
}

// --- Properties -------------------------------------------------------------

// Property data in exactly sized heap storage, so that a read past the end
// is caught by the address sanitizer.
template <typename T>
struct Items {
  explicit Items(std::vector<T> values) : data(values) {}
  PropertyItems property(int format) const { return {format, data.data(), data.size()}; }
  std::vector<T> data;
};

std::vector<VisualRecord> threeVisuals() { return {trueColor24(33), trueColor24(34), trueColor24(35)}; }

TEST(OverlayProperty, EntriesApplyToTheirVisualsOnly) {
  auto records = threeVisuals();
  // 34: transparent pixel 0 on layer 1; an unknown visual; a cut entry.
  Items<long> items({34, 1, 0, 1, 99, 2, 7, 2, 35, 1});
  applyOverlayProperty(records.data(), 3, items.property(32));
  EXPECT_EQ(records[1].overlayFormat, 32);
  EXPECT_EQ(records[1].overlayLayer, 1);
  EXPECT_EQ(records[1].transparentType, 1);
  EXPECT_EQ(records[0].overlayFormat | records[2].overlayFormat, 0);

  Items<short> shortItems({35, 1, -1, -2});
  applyOverlayProperty(records.data(), 3, shortItems.property(16));
  EXPECT_EQ(records[2].overlayFormat, 16);
  EXPECT_EQ(records[2].transparentValue, 0xffffffffu);  // sign-extended
  EXPECT_EQ(records[2].overlayLayer, -2);

  Items<long> one({33});
  applyOverlayProperty(records.data(), 3, one.property(32));
  Items<char> bytes({33, 1, 1, 1});
  applyOverlayProperty(records.data(), 3, bytes.property(8));
  EXPECT_EQ(records[0].overlayFormat, 0);
}

TEST(ColorMatrices, OnlyEighteenItemsOfFormat32) {
  auto records = threeVisuals();
  Items<long> one({65536});
  applyColorMatrices(records.data(), 3, one.property(32));
  EXPECT_EQ(records[0].hasMatrices, 0);
  std::vector<long> values(18);
  for (int i = 0; i < 18; i++) values[i] = (i - 9) * 65536;
  Items<long> all(values);
  applyColorMatrices(records.data(), 3, all.property(32));
  for (auto& r : records) {
    EXPECT_EQ(r.hasMatrices, 1);
    EXPECT_EQ(r.matrices[0], -9 * 65536.0);
    EXPECT_EQ(r.matrices[17], 8 * 65536.0);
  }
}

struct CorrectionCase {
  const char* name;
  int format;
  std::vector<long> items;
  // Per visual 33, 34, 35: table count (0: no tables) and the tables.
  u32 tables[3];
  u32 redCount[3];
  std::vector<ColorCorrectionEntry> red34;  // checked when visual 34 has tables
};

class CorrectionTest : public ::testing::TestWithParam<CorrectionCase> {};

TEST_P(CorrectionTest, Tables) {
  const CorrectionCase& c = GetParam();
  auto records = threeVisuals();
  if (c.format == 8) {
    std::vector<char> bytes(c.items.begin(), c.items.end());
    Items<char> items(bytes);
    applyColorCorrection(records.data(), 3, items.property(8));
  } else if (c.format == 16) {
    std::vector<short> shorts(c.items.begin(), c.items.end());
    Items<short> items(shorts);
    applyColorCorrection(records.data(), 3, items.property(16));
  } else {
    Items<long> items(c.items);
    applyColorCorrection(records.data(), 3, items.property(32));
  }
  for (int v = 0; v < 3; v++) {
    SCOPED_TRACE(v);
    EXPECT_EQ(records[v].correctionTables, c.tables[v]);
    EXPECT_EQ(records[v].redCount, c.redCount[v]);
    if (c.tables[v] == 1) {
      EXPECT_EQ(records[v].greenTable, records[v].redTable);
      EXPECT_EQ(records[v].blueTable, records[v].redTable);
    }
    if (c.tables[v] == 3) {
      EXPECT_NE(records[v].greenTable, records[v].redTable);
    }
  }
  for (size_t i = 0; i < c.red34.size() && i < records[1].redCount; i++) {
    EXPECT_EQ(records[1].redTable[i].value, c.red34[i].value) << i;
    EXPECT_DOUBLE_EQ(records[1].redTable[i].intensity, c.red34[i].intensity) << i;
  }
  freeHeadVisuals(nullptr, 0);
  for (auto& r : records) clearVisualGamma(&r);
}

const CorrectionCase kCorrectionCases[] = {
    {"Format16PairsOneTable", 16, {0, 34, 0, 1, 1, 0, 0, 65535, 65535}, {0, 1, 0}, {0, 2, 0},
     {{0, 0.0}, {65535, 1.0}}},
    {"Format8IntensitiesThreeTables",
     8,
     {0, 0, 0, 34, 1, 3, 2, 0, 51, 255, 1, 0, 255, 0, 255},
     {0, 3, 0},
     {0, 3, 0},
     {{0, 0.0}, {32767, 0.2}, {65535, 1.0}}},
    {"Format32ValueNotScaled", 32, {34, 0, 1, 0, 0x1234, 4294967295L}, {0, 1, 0}, {0, 1, 0}, {{0x1234, 1.0}}},
    {"VisualZeroFillsOnlyVisualsWithoutTables",
     32,
     {34, 1, 1, 1, 0, 4294967295L, 0, 1, 1, 1, 0, 0},
     {1, 1, 1},
     {2, 2, 2},
     {{0, 0.0}, {65535, 1.0}}},
    {"OneEntryIntensityTable", 32, {34, 1, 1, 0, 4294967295L, 0}, {0, 1, 0}, {0, 1, 0}, {{0, 1.0}}},
    {"UnknownVisualSkippedWhole", 32, {99, 0, 1, 0, 5, 5, 34, 0, 1, 0, 7, 0}, {0, 1, 0}, {0, 1, 0}, {{7, 0.0}}},
    {"BadTypeEndsParsing", 32, {34, 2, 1, 0, 1, 1, 35, 0, 1, 0, 7, 0}, {0, 0, 0}, {0, 0, 0}, {}},
    {"TableLongerThanData", 32, {34, 0, 1, 1000000, 1, 1}, {0, 0, 0}, {0, 0, 0}, {}},
    {"ThirdTableCutKeepsNone", 32, {34, 1, 3, 0, 5, 0, 5, 1, 5}, {0, 0, 0}, {0, 0, 0}, {}},
    {"HugeCountClaim", 32, {34, 0, 1, 0xffffffffL, 1, 1}, {0, 0, 0}, {0, 0, 0}, {}},
    {"TooFewForAHeader", 32, {34, 0, 1, 0, 0}, {0, 0, 0}, {0, 0, 0}, {}},
};
INSTANTIATE_TEST_SUITE_P(Visuals, CorrectionTest, ::testing::ValuesIn(kCorrectionCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VisualCopies, SharedTablesStaySharedInsideTheCopyOnly) {
  VisualRecord source = trueColor24();
  std::vector<short> shorts = {0, 33, 0, 1, 1, 0, 0, -1, -1};
  Items<short> items(shorts);
  applyColorCorrection(&source, 1, items.property(16));
  ASSERT_EQ(source.correctionTables, 1);
  VisualRecord* copies = copyVisualRecords(&source, 1);
  ASSERT_NE(copies, nullptr);
  EXPECT_NE(copies[0].redTable, source.redTable);
  EXPECT_EQ(copies[0].greenTable, copies[0].redTable);
  EXPECT_TRUE(sameColorCharacterisation(&source, &copies[0]));
  copies[0].redTable[1].intensity = 0.5;
  EXPECT_FALSE(sameColorCharacterisation(&source, &copies[0]));
  freeHeadVisuals(copies, 1);  // the shared table once
  clearVisualGamma(&source);
  EXPECT_EQ(source.redTable, nullptr);
}

TEST(VisualIds, Consecutive) {
  VisualRecord v[3] = {trueColor24(33), trueColor24(34), trueColor24(36)};
  EXPECT_TRUE(visualIdsConsecutive(v, 2));
  EXPECT_FALSE(visualIdsConsecutive(v, 3));
  EXPECT_FALSE(visualIdsConsecutive(v, 0));
  EXPECT_EQ(findVisualRecord(v, 3, 36), &v[2]);
  EXPECT_EQ(findVisualRecord(v, 3, 35), nullptr);
}

// --- GLX ----------------------------------------------------------------------

VisualRecord glVisual(u32 id, bool doubleBuffer) {
  VisualRecord r = trueColor24(id);
  r.glxVersion = 68;
  r.rgba = 1;
  r.redSize = r.greenSize = r.blueSize = 8;
  r.accumRedSize = 16;
  r.bufferSize = 24;
  r.depthSize = 24;
  r.stencilSize = 8;
  r.doubleBuffer = doubleBuffer;
  r.xRenderable = 1;
  r.renderType = GLX_RGBA_BIT;
  r.level = -1;
  for (u32 s = 1; s < kFbConfigAttributes; s++) r.fbConfig[s] = 100 + s;
  return r;
}

TEST(GLXConfigs, FrameBufferListReadsBackIntoTheSameRecords) {
  VisualRecord sources[3] = {glVisual(33, true), trueColor24(34), glVisual(35, false)};
  u32 numVisuals = 0, numPairs = 0;
  u32* list = buildGLXVisualConfigs(sources, 3, false, &numVisuals, &numPairs);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(numVisuals, 2u);
  ASSERT_EQ(numPairs, 43u);
  EXPECT_EQ(list[0], static_cast<u32>(GLX_FBCONFIG_ID));
  EXPECT_EQ(list[1], 33u);
  // What a server answers for these visuals lands in records that only know
  // which visuals have GL and their buffers.
  VisualRecord targets[3] = {trueColor24(33), trueColor24(34), trueColor24(35)};
  for (int i : {0, 2}) {
    targets[i].glxVersion = 68;
    targets[i].doubleBuffer = sources[i].doubleBuffer;
    targets[i].depthSize = 24;
    targets[i].stencilSize = 8;
  }
  applyGLXFbConfigs(targets, 3, list, u64{numVisuals} * numPairs * 2, numVisuals, numPairs);
  for (int i : {0, 2}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(targets[i].xRenderable, 1u);
    EXPECT_EQ(targets[i].renderType, static_cast<u32>(GLX_RGBA_BIT));
    // The slot the list carries as FBCONFIG_ID is the visual id.
    EXPECT_EQ(targets[i].fbConfig[kFbConfigId], targets[i].visualId);
    for (u32 s = 1; s < kFbConfigAttributes; s++) {
      bool carried = s != kFbFloatComponents && s != kFbSrgbCapable && s != kFbColorSamples;
      EXPECT_EQ(targets[i].fbConfig[s], carried ? sources[i].fbConfig[s] : 0u) << s;
    }
  }
  EXPECT_EQ(targets[1].glxVersion, 0);
  free(list);
}

TEST(GLXConfigs, OldStyleEntries) {
  VisualRecord sources[2] = {glVisual(40, true), trueColor24(41)};
  u32 numVisuals = 0, numPairs = 0;
  u32* list = buildGLXVisualConfigs(sources, 2, true, &numVisuals, &numPairs);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(numVisuals, 1u);
  ASSERT_EQ(numPairs, 10u);
  const u32 fixed[18] = {40, 4, 1, 8, 8, 8, 0, 16, 0, 0, 0, 1, 0, 24, 24, 8, 0, 0xffffffffu};
  EXPECT_EQ(memcmp(list, fixed, sizeof(fixed)), 0);
  EXPECT_EQ(list[18], static_cast<u32>(GLX_VISUAL_CAVEAT_EXT));
  EXPECT_EQ(list[19], sources[0].fbConfig[kFbVisualCaveat]);
  EXPECT_EQ(list[36] | list[37], 0u);
  // The same entry read as a server's reply gives a record with GL.
  VisualRecord target = trueColor24(40);
  applyGLXVisualConfigs(&target, 1, 69, list, 38, 1, 38);
  EXPECT_EQ(target.glxVersion, 69);
  EXPECT_EQ(target.level, -1);
  EXPECT_EQ(target.accumRedSize, 16);
  EXPECT_EQ(target.fbConfig[kFbDrawableType], static_cast<u32>(GLX_WINDOW_BIT | GLX_PIXMAP_BIT));
  EXPECT_EQ(target.fbConfig[kFbSamples], sources[0].fbConfig[kFbSamples]);
  free(list);
}

TEST(GLXConfigs, HeadWithoutGLGivesEmptyListsAndShortRepliesAreIgnored) {
  VisualRecord records[2] = {trueColor24(33), trueColor24(34)};
  u32 numVisuals = 9, numPairs = 0;
  u32* list = buildGLXVisualConfigs(records, 2, false, &numVisuals, &numPairs);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(numVisuals, 0u);
  free(list);
  test::LogCapture log({&logChXhint});
  // One config of 38 items claimed, 20 present; then one for an unknown id.
  std::vector<u32> items(38, 0);
  items[0] = 33;
  applyGLXVisualConfigs(records, 2, 68, items.data(), 20, 1, 38);
  EXPECT_EQ(records[0].glxVersion, 0);
  items[0] = 77;
  applyGLXVisualConfigs(records, 2, 68, items.data(), 38, 1, 38);
  EXPECT_TRUE(log.contains("Xhint: Unknown visual #77 in visual configs")) << testing::PrintToString(log.lines());
}

// --- RENDER formats ---------------------------------------------------------

void put32(std::vector<u8>& out, u32 v) { out.insert(out.end(), reinterpret_cast<u8*>(&v), reinterpret_cast<u8*>(&v) + 4); }
void put16(std::vector<u8>& out, u16 v) { out.insert(out.end(), reinterpret_cast<u8*>(&v), reinterpret_cast<u8*>(&v) + 2); }

// Two formats and one screen whose depth lists visualsOfFirst visuals of the
// first format and one of the second; the screen claims depthClaim depths.
std::vector<u8> formatsBody(u32 visualsOfFirst, u32 depthClaim = 1) {
  std::vector<u8> b;
  // Format 0x21: direct, depth 32, ARGB; format 0x22: direct depth 24.
  for (u32 id : {0x21u, 0x22u}) {
    put32(b, id);
    b.push_back(1);
    b.push_back(id == 0x21 ? 32 : 24);
    put16(b, 0);
    for (u16 shift : {16, 8, 0}) put16(b, shift), put16(b, 0xff);
    put16(b, 24);
    put16(b, id == 0x21 ? 0xff : 0);
    put32(b, 0);
  }
  put32(b, depthClaim);
  put32(b, 0x21);
  b.push_back(24);
  b.push_back(0);
  put16(b, static_cast<u16>(visualsOfFirst + 1));
  put32(b, 0);
  for (u32 v = 0; v < visualsOfFirst; v++) put32(b, 100 + v), put32(b, 0x21);
  put32(b, 99), put32(b, 0x22);
  return b;
}

TEST(PictFormats, VisualsJoinTheirFormats) {
  auto body = formatsBody(2);
  u32 read = 0;
  PictFormatRecord* formats = parsePictFormats(body.data(), body.size(), 2, 1, &read);
  ASSERT_NE(formats, nullptr);
  ASSERT_EQ(read, 2u);
  EXPECT_EQ(formats[0].alphaBits, 8);
  EXPECT_EQ(formats[0].alphaShift, 24);
  EXPECT_EQ(formats[0].redShift, 16);
  EXPECT_EQ(formats[0].visuals[0], 100u);
  EXPECT_EQ(formats[0].visuals[1], 101u);
  EXPECT_EQ(formats[0].visuals[2], 0u);
  EXPECT_EQ(formats[1].visuals[0], 99u);
  EXPECT_EQ(formats[1].alphaBits, 0);
  free(formats);
}

TEST(PictFormats, ClaimsBeyondTheBodyAndBeyondTheListEndQuietly) {
  auto body = formatsBody(1200, 7);
  u32 read = 0;
  for (size_t cut : {body.size(), body.size() - 5, size_t{60}, size_t{30}, size_t{0}}) {
    std::vector<u8> part(body.begin(), body.begin() + cut);
    PictFormatRecord* formats = parsePictFormats(part.data(), part.size(), 2, 3, &read);
    ASSERT_NE(formats, nullptr);
    EXPECT_EQ(read, cut >= 56 ? 2u : cut / 28);
    if (cut == body.size()) {
      EXPECT_EQ(formats[0].visuals[kPictFormatVisualsMax - 1], 100u + kPictFormatVisualsMax - 1);
      EXPECT_EQ(formats[0].visuals[kPictFormatVisualsMax], 0u);
    }
    free(formats);
  }
}

// --- Matching meta visuals to head visuals ----------------------------------

struct MatchCase {
  const char* name;
  Edit meta;
  Edit head;
  u32 tags;
  bool clientsConnected;
  bool matches;
};

class MatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchTest, Usable) {
  const MatchCase& c = GetParam();
  VisualRecord meta = trueColor24(), headVisual = trueColor24();
  c.meta(meta);
  c.head(headVisual);
  Head head{};
  head.tags = c.tags;
  head.depthTable[16] = 24;
  head.depthTableSize = 17;
  visualMatchContext = {true, c.clientsConnected};
  EXPECT_EQ(findMatchingHeadVisual(&meta, &headVisual, 1, &head, 1, false) != nullptr, c.matches);
  visualMatchContext = {true, false};
}

void gl(VisualRecord& r) { r.glxVersion = 68, r.rgba = 1, r.redSize = 8, r.depthSize = 24; }

const MatchCase kMatchCases[] = {
    {"Same", none, none, 0, false, true},
    {"DeeperMeta", [](VisualRecord& r) { r.depth = 32; }, none, 0, false, false},
    {"ShallowerMetaOnAMappedDepth", [](VisualRecord& r) { r.depth = 16; }, none, 0, false, true},
    {"ShallowerMetaUnmapped", [](VisualRecord& r) { r.depth = 8; }, none, 0, false, false},
    {"GLMetaOnHeadWithoutGL", gl, none, 0, false, true},
    {"GLMetaOnHeadWithoutGLWhileClientsRun", gl, none, 0, true, false},
    {"GLMetaOnSloppyHeadWithoutGL", gl, none, kHeadTagSloppyVisuals, true, true},
    {"LargerColorSize", gl, [](VisualRecord& r) { gl(r), r.redSize = 4; }, 0, false, false},
    {"OtherLevel", gl, [](VisualRecord& r) { gl(r), r.level = 1; }, 0, false, false},
    {"SmallerDepthBuffer", gl, [](VisualRecord& r) { gl(r), r.depthSize = 16; }, 0, false, true},
};
INSTANTIATE_TEST_SUITE_P(Visuals, MatchTest, ::testing::ValuesIn(kMatchCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VisualMatching, ReconcileNarrowsTheMetaVisual) {
  VisualRecord meta = glVisual(33, true);
  meta.dbeCapable = 1;
  meta.dbePerfLevel = 5;
  VisualRecord head[2] = {trueColor24(50), glVisual(51, false)};
  head[1].depth = 24;
  head[1].colormapSize = 64;
  head[1].depthSize = 16;
  setVisualMasks(&head[1], 0xfc0000, 0xff00, 0xff);
  head[1].dbeCapable = 1;
  head[1].dbePerfLevel = 2;
  Head h{};
  VisualRecord* match = findMatchingHeadVisual(&meta, head, 2, &h, 1, true);
  ASSERT_EQ(match, &head[1]);
  EXPECT_EQ(meta.colormapSize, 64);
  EXPECT_EQ(meta.redMask, 0xfc0000u);
  EXPECT_EQ(meta.redBits, 6u);
  EXPECT_EQ(meta.dbePerfLevel, 2);
  EXPECT_EQ(meta.doubleBuffer, 0u);
  EXPECT_EQ(meta.depthSize, 16);
  // A head without GL takes GL away from the meta visual.
  VisualRecord plain = trueColor24(60);
  ASSERT_EQ(findMatchingHeadVisual(&meta, &plain, 1, &h, 1, true), &plain);
  EXPECT_EQ(meta.glxVersion, 0);
  EXPECT_EQ(meta.depthSize, 0);
  EXPECT_EQ(meta.fbConfig[kFbMaxPbufferPixels], 0u);
  EXPECT_EQ(meta.dbeCapable, 0);
}

TEST(VisualMatching, LookupAndRebuildStayInsideTheMatches) {
  MetaScreen screen{};
  VisualRecord metaVisuals[3] = {trueColor24(300), trueColor24(302), trueColor24(303)};
  screen.visuals = metaVisuals;
  screen.visualCount = 2;
  VisualRecord headVisuals[1] = {trueColor24(33)};
  Head head{};
  head.metaScreen = &screen;
  head.display = reinterpret_cast<Display*>(&head);  // only tested for null
  head.visuals = headVisuals;
  head.visualCount = 1;
  screen.heads = &head;
  ASSERT_EQ(buildHeadVisualMatches(&head, &screen), nullptr);
  EXPECT_EQ(lookupHeadVisual(&metaVisuals[1], &head)->visualId, 33u);  // ids with a gap
  VisualRecord stranger = trueColor24(301);
  EXPECT_EQ(lookupHeadVisual(&stranger, &head), nullptr);
  stranger.visualId = 1;
  EXPECT_EQ(lookupHeadVisual(&stranger, &head), nullptr);
  // The meta screen gains a visual (a reset): until the matches are built
  // again it has none on this head, and rebuilding frees the old two.
  screen.visualCount = 3;
  EXPECT_EQ(lookupHeadVisual(&metaVisuals[2], &head), nullptr);
  ASSERT_EQ(buildHeadVisualMatches(&head, &screen), nullptr);
  EXPECT_EQ(head.visualMatchCount, 3);
  EXPECT_NE(lookupHeadVisual(&metaVisuals[2], &head), nullptr);
  freeHeadVisuals(head.visualMatches, head.visualMatchCount);
}

}  // namespace
}  // namespace palvon
