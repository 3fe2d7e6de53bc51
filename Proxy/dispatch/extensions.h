// The extension registry: which X extensions the proxy offers, the proxy's
// major opcode, event and error codes of each, and how those codes translate
// to every real X server's own.
//
// The registry is 256 ExtensionEntry slots inside ProxyState, of which majors
// 128 to 255 are used; a slot is free while its name is null. Extension
// modules are rows {name, default version, init hook}; an init hook fills its
// rows of the DispatchTables and returns null, or refuses with a message, in
// which case the extension is withdrawn and no client ever sees it.
//
// Main thread only.
#pragma once

#include "base/strings.h"

// Xlib's display record (Display), declared here so that users of the
// registry need not see Xlib's macros.
struct _XDisplay;

namespace palvon {

struct ExtensionEntry;
struct ProxyClient;

// A module's init: registers the extension (registerExtension) and fills its
// dispatch rows; null or a message when the module refuses.
using ExtensionInit = const char* (*)(ExtensionEntry* entry);
// Run when the extension is reset (the module frees its state).
using ExtensionCloseHook = void (*)(ExtensionEntry* entry);
// Used when the extension's state is copied to a joining server; null or a
// message.
using ExtensionCopyHook = const char* (*)(ExtensionEntry* entry, void* copyState);
// Called when a real server drops out while the client still waits for the
// answer to a request of this extension from it (the client's sequence, the
// minor opcode and the request key); answers the client in the server's
// place through the proxy's own replies and errors.
using ExtensionLostServerHook = void (*)(ProxyClient* client, u64 sequence, u8 minor, u16 key);

struct ExtensionEntry {
  const char* name;  // as offered; null = free slot (not owned: a literal)
  u8 nameLength;
  u8 major;        // the slot's index
  u16 version;     // major x 64 + minor
  u8 firstEvent;   // 0 = none yet
  u8 eventCount;   // events the module registered so far
  u16 eventsSent;
  u8 firstError;   // 0 = none yet
  u8 errorCount;
  u16 errorsSent;
  u8 needsNoServer;  // answered by the proxy without a server extension
  u8 emulated;
  ExtensionCopyHook copyHook;
  ExtensionCloseHook closeHook;
  // Added for the extension modules: null when the module leaves a lost
  // server's clients to the proxy core's default.
  ExtensionLostServerHook lostServerHook;
};

// One implemented extension.
struct ExtensionModule {
  const char* name;
  u16 defaultVersion;
  ExtensionInit init;  // null: known but not implemented (never offered)
};

// The translation of the proxy's codes to one real X server's codes; one per
// server display, filled by the registry.
struct ExtensionCodeMap {
  u8 majorToServer[256];
  u8 eventToServer[256];
  u8 eventFromServer[256];
  u8 errorFromServer[256];
};

// One real X server as the registry sees it: the proxy's own connection to
// it, its short name for messages, and its code map.
struct ExtensionServer {
  ::_XDisplay* display;  // a Display*
  const char* displayName;
  ExtensionCodeMap* codes;
};

// Number of module state words in the registry block.
inline constexpr u32 kExtensionModuleWords = 37;

// The module words: each module's word holds its ExtensionEntry while the
// extension is registered and null otherwise (the module's reset clears
// it), so that other layers can ask whether an extension is on and reply
// handlers find the version the proxy offers.
enum ExtensionModuleWord : u32 {
  kModuleBigRequests,
  kModuleXCMisc,
  kModuleAllPlanes,
  kModuleGenericEvent,
  kModuleMeta,
  kModuleKeymap,
  kModuleDoubleBuffer,
  kModuleMultiBuffer,
  kModuleDPMS,
  kModuleFBPM,
  kModuleMitScreenSaver,
  kModuleSgiScreenSaver,
  kModuleXPrint,
  kModuleXinerama,
  kModuleXInput,
  kModuleXkb,
  kModuleXie,
  kModuleRender,
  kModuleRandr,
  kModuleShape,
  kModuleShm,
  kModuleSync,
  kModuleXTest,
  kModuleTranslucent,
  kModuleXVideo,
  kModuleWordsUsed,
};
static_assert(kModuleWordsUsed <= kExtensionModuleWords, "one registry word per module");

// The registry block of ProxyState; resetAllExtensions clears all of it.
struct ExtensionRegistry {
  ExtensionEntry entries[256];
  bool setUp;
  // XTEST is served through the input-control library, not a module.
  bool xtestThroughInputControl;
  void* moduleState[kExtensionModuleWords];
};

// The modules the registry knows: the table main hands over (null: none).
// The table must outlive the registry's use of it.
void setExtensionModules(const ExtensionModule* modules, u32 count);
const ExtensionModule* findExtensionModule(const char* name);

bool isExtensionDisabled(const char* name);

const char* registerExtension(ExtensionEntry* entry, const char* name, u32 eventCount,
                              u32 errorCount);
void addExtensionAlias(ExtensionEntry* entry, const char* alias);
// Temporary texts (ring of temporary strings).
const char* describeExtension(const ExtensionEntry* entry);
const char* listRegisteredExtensions();
// Writes each registered name as a length byte and the bytes, in major order,
// into buffer (which holds at least 256 x 256 bytes); gives the count.
u32 collectExtensionNames(u8* buffer, u32* totalLength);
ExtensionEntry* findExtensionByName(const char* name);
ExtensionEntry* findExtensionByCountedName(const u8* bytes, u32 length);
u8 allocExtensionEntry();
ExtensionEntry* initExtensionRegistry(const char* name, u16 version, u8 major, u8 firstEvent,
                                      u8 firstError);
void mapHeadExtensionCodes(const ExtensionEntry* entry, ExtensionCodeMap* codes, u8 serverMajor,
                           u8 serverFirstEvent, u8 serverFirstError);
bool bindExtensionToServer(const ExtensionEntry* entry, const ExtensionServer& server);
void resetExtension(ExtensionEntry* entry);
void resetAllExtensions();
// Sets the registry up once from the servers (the first is the one whose
// codes the proxy offers); null or a message.
const char* setupServerExtensions(const ExtensionServer* servers, u32 serverCount);

}  // namespace palvon
