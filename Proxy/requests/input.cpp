// Keyboard, pointer, bell and screen-saver requests (core opcodes 100 to
// 108 and 115 to 119), ordered by opcode.
#include <X11/X.h>
#include <X11/Xproto.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/dispatch/targets.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/server.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "base/logging.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

constexpr u32 kTagNotManaged = 0x2000;
constexpr u32 kDefaultButtons = 32;
constexpr u32 kDefaultMinKeycode = 8, kDefaultMaxKeycode = 255;
// ChangeKeyboardControl's key bit.
constexpr u32 kKeyboardKeyBit = 1u << 6;

u32 keymapLow() { return proxyState.minKeycode ? proxyState.minKeycode : kDefaultMinKeycode; }
u32 keymapHigh() { return proxyState.maxKeycode ? proxyState.maxKeycode : kDefaultMaxKeycode; }

bool isObscured(const Head* head) { return head && head->inWindow && head->input.obscured; }

// The servers a request reaches, one head each.
enum class ServerSet : u8 {
  kInput,        // keyboard and pointer settings
  kMapping,      // keyboard, modifier and pointer maps
  kScreenSaver,  // the screen saver
};

// A head inside a window is a guest on another desktop: its server takes
// input settings only while it holds input control, and the screen saver
// only when no window manager owns the window.
bool servesSet(const Head* head, ServerSet set) {
  if (!head || !head->inWindow) return true;
  bool inputControl = head->serverDisplay && head->serverDisplay == inputControlDisplay;
  switch (set) {
    case ServerSet::kInput: return inputControl && !head->input.obscured;
    case ServerSet::kMapping: return inputControl;
    case ServerSet::kScreenSaver: return (head->tags & kTagNotManaged) && !head->input.obscured;
  }
  return false;
}

bool keepSet(const RouteTarget& target, void* argument) {
  return servesSet(target.head, *static_cast<ServerSet*>(argument));
}

void forwardToSet(const u8* request, u32 length, ServerSet set, CopyRewrite rewrite = nullptr) {
  forwardToTargets(Route::kEveryServer, request, length, keepSet, rewrite, &set);
}

bool keycodeRangeFits(u32 first, u32 count) {
  return first >= keymapLow() && (count == 0 || u64(first) + count - 1 <= keymapHigh());
}

u32 headMaxKeycode(const Head* head) {
  return head && head->display ? xrcMaxKeycode(head->display, kXrcKeyboard) : keymapHigh();
}

u32 headMinKeycode(const Head* head) {
  return head && head->display ? xrcMinKeycode(head->display, kXrcKeyboard) : keymapLow();
}

u32 keycodeOnHead(u32 keycode, const Head* head) {
  return head ? metaToHeadKeycode(kXrcKeyboard, keycode, head) : keycode;
}

// A server's keycode in the proxy's range; 0 when it has none there.
u32 keycodeFromServer(u32 keycode, const ServerLink* link) {
  if (!keycode) return 0;
  u32 meta = headToMetaKeycode(kXrcKeyboard, keycode, link ? link->server.display : nullptr);
  return meta >= keymapLow() && meta <= keymapHigh() ? meta : 0;
}

u32 serverButtonCount(ServerDisplay* display) {
  if (!display || !display->display) return 0;
  if (!display->pointerButtons) {
    unsigned char map[256];
    display->pointerButtons = u32(XfsGetPointerMapping(display->display, map, 256));
  }
  return display->pointerButtons;
}

}  // namespace

Head* inputControlHead() {
  if (inputControlDisplay && inputControlDisplay->firstHead) return inputControlDisplay->firstHead;
  MetaScreen* screen = proxyState.screens;
  return screen ? (screen->mainHead ? screen->mainHead : screen->heads) : nullptr;
}

u32 offeredPointerButtons() {
  return proxyState.pointerButtons ? proxyState.pointerButtons : kDefaultButtons;
}

// --- The arithmetic ------------------------------------------------------------------------

u32 keycodeCountOnHead(u32 headFirst, u32 count, u32 headMax) {
  if (!count || headFirst > headMax) return 0;
  u64 last = u64(headFirst) + count - 1;
  return last > headMax ? headMax - headFirst + 1 : count;
}

void shiftAutoRepeats(const u8* server, u8* proxy, i32 shift, u32 low, u32 high) {
  std::memset(proxy, 0, 32);
  for (i32 bit = 0; bit < 256; bit++) {
    if (!(server[bit / 8] & (1u << (bit % 8)))) continue;
    i32 moved = bit + shift;
    if (moved < i32(low) || moved > i32(high) || moved > 255) continue;
    proxy[moved / 8] |= u8(1u << (moved % 8));
  }
}

void composePointerMap(const u8* server, u32 serverCount, u8* out, u32 count) {
  for (u32 i = 0; i < count; i++) out[i] = i < serverCount ? server[i] : u8(i + 1);
}

// --- Keyboard ------------------------------------------------------------------------------

namespace {

struct KeymapChange {
  const u8* request;
  bool failed;
};

bool changeKeymapOnHead(const RouteTarget& target, void* argument) {
  auto* change = static_cast<KeymapChange*>(argument);
  if (!servesSet(target.head, ServerSet::kMapping)) return true;
  const u8* request = change->request;
  u32 count = request[1], first = request[4], perKeycode = request[5];
  u32 headFirst = keycodeOnHead(first, target.head);
  u32 headCount = keycodeCountOnHead(headFirst, count, headMaxKeycode(target.head));
  if (!headCount || (target.head && !isHeadKeycode(headFirst, target.head))) return true;
  u32 length = 8 + 4 * headCount * perKeycode;
  u8* p = beginRequest(&target.link->writer, X_ChangeKeyboardMapping, u8(headCount), length);
  if (!p) {
    change->failed = true;
    return false;
  }
  p[4] = u8(headFirst);
  p[5] = u8(perKeycode);
  p[6] = p[7] = 0;
  std::memcpy(p + 8, request + 8, length - 8);
  finishRequest(&target.link->writer, p, length, X_ChangeKeyboardMapping, u8(headCount));
  return true;
}

}  // namespace

void ProcChangeKeyboardMapping(u8* request, u32 length) {
  u32 count = request[1], first = request[4];
  if (!keycodeRangeFits(first, count)) return sendXError(BadValue, first, request, length, nullptr);
  if (request[5] == 0) return sendXError(BadValue, 0, request, length, nullptr);
  LOGF(logChInfo, "Keyboard mapping (%u..%u) changed by %s", first, first + count - 1, clientName(currentClient));
  KeymapChange change{request, false};
  forEachTarget(Route::kEveryServer, changeKeymapOnHead, &change);
  if (change.failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

void ProcGetKeyboardMapping(u8* request, u32 length) {
  u32 first = request[4], count = request[5];
  if (!keycodeRangeFits(first, count)) return sendXError(BadValue, first, request, length, nullptr);
  auto rewrite = [](u8* copy, u32, const RouteTarget& target, void*) {
    u32 asked = copy[5], clientFirst = copy[4];
    u32 headFirst = keycodeOnHead(copy[4], target.head);
    copy[4] = u8(headFirst);
    copy[5] = u8(keycodeCountOnHead(headFirst, asked, headMaxKeycode(target.head)));
    // Count and first keycode for the reply (a first of 0 marks an answer
    // that no per-client mapping replaces); bit 16 would mark a KEYMAP
    // extension entry (none here).
    uintptr_t data = uintptr_t(asked) | uintptr_t(0x100) | uintptr_t(clientFirst) << 24;
    stashRequestData(target.link, X_GetKeyboardMapping, reinterpret_cast<void*>(data), nullptr);
  };
  forwardRequest(request, length, rewrite);
}

void ReplyGetKeyboardMapping(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  auto data = link ? reinterpret_cast<uintptr_t>(takeStashedData(link, X_GetKeyboardMapping)) : 0;
  // A private keyboard mapping's module would consume its own replies.
  if (data & 0x10000) return;
  ProxyClient* client = currentClient;
  u32 perKeycode = reply[1];
  if (!data || !client || !perKeycode) {
    if (!data) PALVON_UNE();
    return sendReplyToClient(reply, length, replyLayoutOf(requestRowOf(X_GetKeyboardMapping), reply, length));
  }
  u32 asked = u32(data & 0xff), first = u32(data >> 24) & 0xff;
  if (first && serviceHooks.applyClientKeymap &&
      serviceHooks.applyClientKeymap(client, client->sequenceAnswered, first, asked))
    return;
  u32 present = (length - 32) / 4 / perKeycode;
  if (!sendReplyGetKeyboardMapping(client, client->sequenceAnswered, reinterpret_cast<const u32*>(reply + 32),
                                   u8(perKeycode), present, asked))
    replaceReplyByError(BadAlloc, 0, X_GetKeyboardMapping);
}

void ProcChangeKeyboardControl(u8* request, u32 length) {
  auto rewrite = [](u8* copy, u32, const RouteTarget& target, void*) {
    u32 mask = get32(copy + 4);
    if (!(mask & kKeyboardKeyBit) || !target.head) return;
    u8* key = copy + 8 + 4 * __builtin_popcount(mask & (kKeyboardKeyBit - 1));
    put32(key, keycodeOnHead(get32(key), target.head));
  };
  forwardToSet(request, length, ServerSet::kInput, rewrite);
}

void ProcGetKeyboardControl(u8* request, u32 length) {
  auto rewrite = [](u8*, u32, const RouteTarget& target, void*) {
    // The server's smallest keycode, for moving its auto-repeat vector.
    uintptr_t data = uintptr_t(headMinKeycode(target.head)) | 0x100;
    stashRequestData(target.link, X_GetKeyboardControl, reinterpret_cast<void*>(data), nullptr);
  };
  forwardRequest(request, length, rewrite);
}

void ReplyGetKeyboardControl(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  auto data = link ? reinterpret_cast<uintptr_t>(takeStashedData(link, X_GetKeyboardControl)) : 0;
  // 52 bytes: the auto-repeat vector is the last 32.
  if (data && length >= 52) {
    u8 server[32];
    std::memcpy(server, reply + 20, 32);
    shiftAutoRepeats(server, reply + 20, i32(keymapLow()) - i32(data & 0xff), keymapLow(), keymapHigh());
  }
  sendReplyToClient(reply, length, replyLayoutOf(requestRowOf(X_GetKeyboardControl), reply, length));
}

void ProcBell(u8* request, u32 length) {
  if (!proxyConfig.bell || isObscured(inputControlHead())) return;
  forwardRequest(request, length);
}

// --- Pointer -------------------------------------------------------------------------------

void ProcChangePointerControl(u8* request, u32 length) {
  i16 numerator = i16(get16(request + 4)), denominator = i16(get16(request + 6)), threshold = i16(get16(request + 8));
  bool doAcceleration = request[10], doThreshold = request[11];
  if (doAcceleration) {
    if (numerator == -1) numerator = 2;
    if (denominator == -1) denominator = 1;
    if (numerator < 1 || denominator < 1) return sendXError(BadValue, 0, request, length, nullptr);
  }
  if (doThreshold) {
    if (threshold == -1) threshold = 4;
    if (threshold < 0) return sendXError(BadValue, 0, request, length, nullptr);
  }
  if (doAcceleration) {
    proxyState.pointerAccelNumerator = u32(numerator);
    proxyState.pointerAccelDenominator = u32(denominator);
  }
  if (doThreshold) proxyState.pointerAccelThreshold = u32(threshold);
  forwardToSet(request, length, ServerSet::kInput);
}

void ProcSetScreenSaver(u8* request, u32 length) { forwardToSet(request, length, ServerSet::kScreenSaver); }

void ProcForceScreenSaver(u8* request, u32 length) { forwardToSet(request, length, ServerSet::kScreenSaver); }

namespace {

// Sets a map on every mapping server; only the input-control server's
// reply reaches the client, the others' are dropped by a reply hook.
struct MapChange {
  const u8* request;
  u32 length;
  bool pointer;
  bool failed;
};

u8* copyModifierMap(const MapChange& change, const RouteTarget& target) {
  u8* copy = copyRequestToServer(change.request, change.length, target.link);
  if (!copy) return nullptr;
  for (u32 i = 4; i < change.length && target.head; i++) {
    if (!copy[i]) continue;
    // A key the server lacks is left out of its map.
    u32 keycode = keycodeOnHead(copy[i], target.head);
    copy[i] = isHeadKeycode(keycode, target.head) ? u8(keycode) : 0;
  }
  return copy;
}

bool setMapOnHead(const RouteTarget& target, void* argument) {
  auto* change = static_cast<MapChange*>(argument);
  if (!servesSet(target.head, ServerSet::kMapping)) return true;
  ServerLink* link = target.link;
  bool written = false;
  if (change->pointer) {
    u32 buttons = serverButtonCount(target.head ? target.head->serverDisplay : nullptr);
    if (!buttons) buttons = change->request[1];
    u32 length = 4 + pad4(buttons);
    u8* p = beginRequest(&link->writer, X_SetPointerMapping, u8(buttons), length);
    if (p) {
      std::memset(p + 4, 0, length - 4);
      std::memcpy(p + 4, change->request + 4, change->request[1] < buttons ? change->request[1] : buttons);
      finishRequest(&link->writer, p, length, X_SetPointerMapping, u8(buttons));
      written = true;
    }
  } else if (u8* copy = copyModifierMap(*change, target)) {
    swapServerRequest(link, copy, change->length, requestLayoutOf(currentRequest.row, copy, change->length));
    written = true;
  }
  if (!written) {
    change->failed = true;
    return false;
  }
  bool answers = !inputControlDisplay || (target.head && target.head->serverDisplay == inputControlDisplay) ||
                 (!target.head && serverLinkIndex(link) == 0);
  if (!answers) addReplyHook(link, acceptReplyHook, nullptr);
  return true;
}

void setMap(u8* request, u32 length, bool pointer) {
  ProxyClient* client = currentClient;
  // A map the input-control server cannot take now: the client hears
  // "busy", as from a server whose buttons are held.
  if (isObscured(inputControlHead())) return sendReplyStatus(client, request[0], MappingBusy);
  MapChange change{request, length, pointer, false};
  forEachTarget(Route::kEveryServer, setMapOnHead, &change);
  if (change.failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

}  // namespace

void ProcSetPointerMapping(u8* request, u32 length) {
  if (request[1] != offeredPointerButtons())
    return sendXError(BadValue, request[1], request, length, "invalid number of buttons");
  setMap(request, length, true);
}

void ReplyGetPointerMapping(u8* reply, u32 length) {
  ProxyClient* client = currentClient;
  if (!client) return;
  u32 count = offeredPointerButtons();
  u32 serverCount = reply[1];
  if (32 + u64(serverCount) > length) serverCount = length - 32;
  u32 total = 32 + pad4(count);
  auto* composed = static_cast<u8*>(std::calloc(total, 1));
  if (!composed) return replaceReplyByError(BadAlloc, 0, X_GetPointerMapping);
  std::memcpy(composed, reply, 32);
  composed[1] = u8(count);
  put32(composed + 4, (total - 32) / 4);
  composePointerMap(reply + 32, serverCount, composed + 32, count);
  sendReplyToClient(composed, total, replyLayoutOf(requestRowOf(X_GetPointerMapping), composed, total));
  std::free(composed);
}

void ProcSetModifierMapping(u8* request, u32 length) {
  // Before anything reaches a server: a keycode outside the range would
  // otherwise become 0 on the heads and empty their modifiers for everyone.
  u64 entries = u64(request[1]) * 8;  // the row's size rule checked the length
  for (u64 k = 0; k < entries; k++) {
    u32 keycode = request[4 + k];
    if (keycode && (keycode < keymapLow() || keycode > keymapHigh()))
      return sendXError(BadValue, keycode, request, length, nullptr);
  }
  setMap(request, length, false);
}

void ReplyGetModifierMapping(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  u64 keycodes = u64(reply[1]) * 8;
  if (32 + keycodes > length) keycodes = length - 32;
  for (u64 i = 0; i < keycodes; i++) reply[32 + i] = u8(keycodeFromServer(reply[32 + i], link));
  sendReplyToClient(reply, length, replyLayoutOf(requestRowOf(X_GetModifierMapping), reply, length));
}

}  // namespace palvon
