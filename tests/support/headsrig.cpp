#include "support/headsrig.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/probe.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/settings.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Proxy/startup.h"
#include "Proxy/sync/clocks.h"
#include "Proxy/visuals/visual.h"
#include "base/orders.h"
#include "base/strlist.h"
#include "support/configtext.h"
#include "support/xprogram.h"

namespace palvon::test {

namespace {

// A display number no test server takes: the proxy's own.
constexpr u32 kProxyNumber = 65000;

void freeHead(Head* head) {
  forgetHeadInput(head);
  destroyHead(head, false);
  releaseScaler(&head->scaler);
  freeHeadVisuals(head->visuals, head->visualCount);
  freeHeadVisuals(head->visualMatches, head->visualMatchCount);
  free(head->emulatedColormap);
  unbindHeadFromServerDisplay(head);
  free(head);
}

}  // namespace

HeadsRig::HeadsRig(const std::vector<std::vector<std::string>>& servers) {
  for (const auto& arguments : servers) servers_.push_back(std::make_unique<Xvfb>(arguments));
}

HeadsRig::~HeadsRig() { stop(); }

bool HeadsRig::ok() const {
  for (const auto& server : servers_) {
    if (!server->ok()) return false;
  }
  return true;
}

std::string HeadsRig::configure(const std::string& text) {
  std::string resolved = text;
  for (size_t i = servers_.size(); i-- > 0;) {
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on literal + string at -O3.
    std::string key = std::string("@").append(std::to_string(i));
    for (size_t at; (at = resolved.find(key)) != std::string::npos;) resolved.replace(at, key.size(), display(i));
  }
  std::string error = parseConfigText(dir_.path(), resolved);
  if (!error.empty()) return error;
  running_ = true;
  setProxyDisplayNumber(kProxyNumber);
  proxyState.resourceIdMask = 0xfffff;
  proxyState.resourceIdShift = 20;
  proxyState.maxRequestBytes = 0x3fffc;
  if (!initClientResourceTable(0)) return "slot 0";
  initDefaultXids();
  for (ScreenConfig* config = proxyConfig.metaScreens; config; config = config->next) {
    MetaScreen* screen = createMetaScreen();
    if (!screen) return "out of memory";
    screen->name = strdup(config->name ? config->name : "");
    // Screen numbers go on counting over the tests of one process.
    config->number = screen->number;
  }
  for (HeadConfig* head = proxyConfig.heads; head; head = head->next)
    head->settings.metaScreenNumber = i32(head->metaScreen->number);
  return "";
}

std::string HeadsRig::start(int stage) {
  const char* error = openConfiguredHeads();
  if (!error && stage >= 2) error = applyConfiguredScreenSettings();
  if (!error && stage >= 2) {
    if (!atomDisplay) atomDisplay = firstRootHeadDisplay();
    if (!fontDisplay) fontDisplay = chooseFontServerDisplay();
    if (!timeDisplay) timeDisplay = serverDisplayList;
  }
  if (!error && stage >= 3) error = adjustScreenCapabilities(false);
  if (!error && stage >= 4) error = probeHeads(true);
  return error ? error : "";
}

std::string HeadsRig::reset() {
  closeHeadsOnReset();
  currentClient = nullptr;
  freeAllClientResources();
  initDefaultXids();
  const char* error = adjustScreenCapabilities(true);
  if (!error) error = probeHeads(false);
  return error ? error : "";
}

void HeadsRig::stop() {
  if (!running_) return;
  running_ = false;
  currentClient = nullptr;
  // Input control only changes hands on the record while everything goes.
  headsReady = 0;
  while (MetaScreen* screen = proxyState.screens) {
    while (screen->heads) freeHead(screen->heads);
    while (Head* head = screen->probeOnlyHeads) {
      screen->probeOnlyHeads = head->next;
      head->next = nullptr;
      head->metaScreen = nullptr;
      freeHead(head);
    }
    proxyState.screens = screen->next;
    if (proxyState.screens) proxyState.screens->tail = screen->tail;
    freeHeadVisuals(screen->visuals, screen->visualCount);
    free(screen->name);
    free(screen);
  }
  proxyState.screenCount = 0;
  while (serverDisplayList) freeServerDisplay(serverDisplayList);
  atomDisplay = fontDisplay = timeDisplay = imageDisplay = inputControlDisplay = resourceServerDisplay = nullptr;
  freeAllClientResources();
  strlistFree(defaultFontPathCount, defaultFontPath);
  strlistFree(keptFontPathCount, keptFontPath);
  defaultFontPathCount = keptFontPathCount = 0;
  defaultFontPath = keptFontPath = nullptr;
  freeConfiguration(&proxyConfig);
  freeStoppedClients();  // before their order goes
  stopTimeSync();        // the start-up's clock rounds, likewise
  ordersFreeAll();
}

Head* HeadsRig::head(u32 screenNumber, u32 index) const {
  MetaScreen* s = screen(screenNumber);
  Head* head = s ? s->heads : nullptr;
  while (head && index--) head = head->next;
  return head;
}

MetaScreen* HeadsRig::screen(u32 number) const {
  MetaScreen* screen = proxyState.screens;
  while (screen && number--) screen = screen->next;
  return screen;
}

std::vector<TreeWindow> windowTree(const std::string& display) {
  std::vector<TreeWindow> tree;
  ProgramResult result = runProgram({"xwininfo", "-root", "-tree"}, display);
  size_t at = 0;
  while (at < result.out.size()) {
    size_t end = result.out.find('\n', at);
    if (end == std::string::npos) end = result.out.size();
    std::string line = result.out.substr(at, end - at);
    at = end + 1;
    size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos || line.compare(start, 2, "0x") != 0) continue;
    TreeWindow window{};
    window.id = strtoul(line.c_str() + start, nullptr, 16);
    window.line = line;
    size_t close = line.rfind(')');
    int used = 0;
    if (close == std::string::npos ||
        sscanf(line.c_str() + close + 1, " %dx%d%n", &window.width, &window.height, &used) != 2)
      continue;
    // Offsets are written "+X+Y", negative ones as "+-1" or "-1".
    const char* p = line.c_str() + close + 1 + used;
    int* offsets[2] = {&window.x, &window.y};
    bool parsed = true;
    for (int* offset : offsets) {
      if (*p != '+' && *p != '-') parsed = false;
      if (!parsed) break;
      int sign = *p++ == '-' ? -1 : 1;
      char* end = nullptr;
      *offset = sign * int(strtol(p, &end, 10));
      if (end == p) parsed = false;
      p = end;
    }
    if (!parsed) continue;
    tree.push_back(window);
  }
  return tree;
}

const TreeWindow* findWindow(const std::vector<TreeWindow>& tree, unsigned long id) {
  for (const TreeWindow& window : tree) {
    if (window.id == id) return &window;
  }
  return nullptr;
}

}  // namespace palvon::test
