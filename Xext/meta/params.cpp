// MORVANDELL META: configuration values as text.
#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/open.h"
#include "Proxy/resources/resource.h"
#include "Xext/meta/meta.h"
#include "Xext/meta/private.h"

namespace palvon {

namespace {

// A text buffer that cuts at its end.
struct Text {
  char* at;
  char* end;
  void add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (end - at <= 1) return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(at, size_t(end - at), format, args);
    va_end(args);
    // A cut text keeps its zero at the last byte.
    at = n < 0 ? at : n >= end - at ? end - 1 : at + n;
  }
  void text(const char* value) {
    if (value) add("%s", value);
  }
  void number(u64 value) { add("%llu", static_cast<unsigned long long>(value)); }
  void signedNumber(i64 value) { add("%lld", static_cast<long long>(value)); }
};

// The configuration block of a meta screen number, or null: an argument
// names a screen only when one has that number.
const ScreenConfig* screenConfig(u32 number) {
  for (const ScreenConfig* c = proxyConfig.metaScreens; c; c = c->next) {
    if (c->number == number) return c;
    if (c->next == proxyConfig.metaScreens) break;
  }
  return nullptr;
}

// The configuration entry a head was made from, or null.
const HeadConfig* headConfig(u32 headId) {
  auto* head = static_cast<Head*>(lookupResourceByType(headId, RT_HEAD));
  if (!head) return nullptr;
  for (const HeadConfig* c = proxyConfig.heads; c; c = c->next) {
    if (configuredHead(c) == head) return c;
    if (c->next == proxyConfig.heads) break;
  }
  return nullptr;
}

void names(Text& t, const NameFlag* list, u32 count) {
  for (u32 k = 0; k < count; k++) t.add("\"%c%s\" ", list[k].enabled ? '+' : '-', list[k].name ? list[k].name : "");
}

void pixmapFormats(Text& t) {
  for (u32 k = 0; k < proxyConfig.pixmapFormatCount; k++) {
    const PixmapFormatSpec& f = proxyConfig.pixmapFormats[k];
    t.add("%c", f.enabled ? '+' : '-');
    if (f.depthGiven) t.number(f.depth);
    t.add(":");
    if (f.bitsPerPixelGiven) t.number(f.bitsPerPixel);
    t.add(":");
    if (f.scanlinePadGiven) t.number(f.scanlinePad);
    t.add(" ");
  }
}

// The local server's command without the XDM-AUTHENTICATION-1 key that
// "-cookie" gives it: no key material leaves the proxy in a reply.
void serverCommand(Text& t, const ProxyConfiguration& c) {
  bool first = true;
  for (u32 k = 0; k < c.serverCommandCount; k++) {
    if (strcasecmp(c.serverCommand[k], "-cookie") == 0) {
      k++;
      continue;
    }
    t.add(first ? "%s" : " %s", c.serverCommand[k]);
    first = false;
  }
}

void visual(Text& t, const VisualSpec* spec) {
  char one[128];
  formatDoubleBufferModes(one, sizeof one, spec);
  t.add("%s ", one);
}

}  // namespace

const char* formatMetaParameter(u32 parameter, u32 argument, char* out, u32 size) {
  Text t{out, out + size};
  *out = 0;
  const ProxyConfiguration& c = proxyConfig;
  switch (parameter) {
    case 1: t.text(c.logDestination); break;
    case 2: t.number(c.logTypes); break;
    case 3: t.signedNumber(c.nice); break;
    case 4: t.text(c.connection); break;
    case 5: t.number(c.accessControl); break;
    case 6: t.text(c.authorization); break;
    case 7: serverCommand(t, c); break;
    case 8: t.signedNumber(c.serverNice); break;
    case 9: t.text(c.serverAuthorization); break;
    case 10: t.text(c.vendorString); break;
    case 11: t.number(c.vendorReleaseNumber); break;
    case 13: t.number(c.maximumRequestSize); break;
    case 14: t.number(c.maximumBigRequestSize); break;
    case 15: t.number(c.maximumNumberOfScreens); break;
    case 16: t.number(c.numberOfResourceIdBits); break;
    case 17: names(t, c.extensions, c.extensionCount); break;
    case 18: pixmapFormats(t); break;
    case 19: names(t, c.fontPath, c.fontPathCount); break;
    case 20:
      if (const ScreenConfig* s = screenConfig(argument))
        for (u32 k = 0; k < s->visualCount; k++) visual(t, &s->visuals[k]);
      break;
    case 21:
      if (const ScreenConfig* s = screenConfig(argument)) visual(t, &s->defaultVisual);
      break;
    case 22: t.number(c.xdmcpMode); break;
    case 23: t.number(c.xdmcpPort); break;
    case 24: t.number(c.xdmcpOnce); break;
    case 25: break;  // the XDM-AUTHENTICATION-1 key: it stays with the proxy
    case 26: t.text(c.xdmcpDisplayClass); break;
    case 27: t.text(c.xdmcpDisplayID); break;
    case 28: t.text(c.xdmcpHost); break;
    case 29: t.number(c.given); break;
    case 30:
      if (const MetaScreen* s = findMetaScreen(argument)) t.number(s->resizePolicy);
      break;
    case 31:
      if (auto* head = static_cast<const Head*>(lookupResourceByType(argument, RT_HEAD))) t.number(head->minimumTextSize);
      break;
    case 32: t.number(c.bell); break;
    case 33: {
      const HeadConfig* h = headConfig(argument);
      t.text(h && h->settings.directGL ? "1" : "0");
      break;
    }
    case 34:
      if (const HeadConfig* h = headConfig(argument)) t.text(h->settings.glLibraryPath);
      break;
    default: return nullptr;
  }
  return out;
}

void ProcMetaGetParameter(u8* request, u32) {
  constexpr u32 kMaxText = 8192;
  u8 reply[32 + kMaxText] = {};
  char* text = reinterpret_cast<char*>(reply + 32);
  if (!formatMetaParameter(get32(request + 4), get32(request + 8), text, kMaxText)) strCopy(text, "Unknown parameter", kMaxText);
  u32 textLength = u32(strnlen(text, kMaxText - 1)) + 1;
  put32(reply + 8, textLength);
  sendMetaReply(request, reply, 32 + pad4(textLength), "bbsii");
}

}  // namespace palvon
