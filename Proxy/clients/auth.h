// Authorization protocols: checking the protocol name and data a client
// presents in its connection set-up against the authorizations loaded from
// the authority file (or received through XDMCP).
//
// All calls come from the main thread. Reasons returned through `reason` are
// static texts or temporary strings.
#pragma once

#include "Proxy/clients/access.h"
#include "base/strings.h"

namespace palvon {

struct AuthProtocol {
  u16 nameLength;
  const char* name;
  bool (*add)(u16 length, const u8* data, i32 id);
  i32 (*check)(u16 length, const u8* data, const AccessClient* client, const char** reason);
  void (*reset)();
  i32 (*toId)(u16 length, const u8* data);
  bool (*fromId)(i32 id, u16* length, const u8** data);
  bool (*remove)(u16 length, const u8* data);
};

// The id the protocols grant, or -1 with *reason set.
i32 checkAuthorization(u16 nameLength, const char* name, u16 dataLength, const u8* data,
                       const AccessClient* client, const char** reason);
// Runs every protocol's reset; the authority file is read again at the next
// check.
void resetAuthorizationProtocols();
i32 authorizationToId(u16 nameLength, const char* name, u16 dataLength, const u8* data);
// The data stays owned by the protocol and lives until it is removed or reset.
bool authorizationFromID(i32 id, u16* nameLength, const char** name, u16* dataLength, const u8** data);
bool removeAuthorization(u16 nameLength, const char* name, u16 dataLength, const u8* data);
bool addAuthorization(u16 nameLength, const char* name, u16 dataLength, const u8* data);
// The authority file (null: none).
void setHostAccessFile(const char* fileName);
// Says on the warning channel, naming the file, when the authority file
// cannot be read or holds no authorization (the local host may then be
// open), is a symbolic link or is writable by every user. At start-up and
// at each reset; nothing when no file is set.
void warnAboutAuthorityFile();
void sunDesInit();

// XDM-AUTHENTICATION-1 for XDMCP. Registering the authentication with XDMCP
// goes through the hook, which stays null while XDMCP is not running.
struct XdmAuthenticationHooks {
  void (*registerAuthentication)(const char* name, int nameLength, const u8* rho, int rhoLength);
};
extern XdmAuthenticationHooks xdmAuthenticationHooks;
void xdmAuthenticationInit(const char* key, int length);
// Accept packets (type 8) of 8 bytes are checked against rho; true when
// valid. Every other packet type is refused: none carries a proof.
bool xdmAuthenticationValidate(const u8* incoming, int length, int packetType);
// For Request packets (type 7): the wrapped rho into out (8 bytes); returns
// the bytes written (0 for other packet types).
int xdmAuthenticationGenerate(u8* out, int packetType);
bool xdmAuthenticationAddAuth(u16 nameLength, const char* name, u16 dataLength, const u8* data);

}  // namespace palvon
