// Credentials towards the real X servers and the authority file of the
// proxy's own clients: the file given by `authorization` (which admits
// clients), the file given by `serverAuthorization` (credentials for the
// servers), the server authorization file the proxy generates, the
// credentials it learnt, the look-up used whenever the proxy or a client
// connects to a real server, and the proxy's own Xlib connection to one.
//
// The servers' credentials are never used to admit a client: clients are
// checked against the authority file only (Proxy/clients/auth.h). Looking credentials
// up reads the files directly and never changes the process environment.
// Main thread only; returned error texts are temporary strings.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

constexpr u16 kFamilyLocalAuth = 256;
constexpr u16 kFamilyWildAuth = 65535;
constexpr u32 kAuthPathMax = 4095;

// One credential the proxy learnt or generated: the record followed by its
// address (NUL-ended host name), name and data in one heap block.
struct AuthorizationEntry {
  AuthorizationEntry* next;
  AuthorizationEntry* previous;  // the head's previous is the tail
  u16 family;
  u16 displayNumber;
  u16 nameLength;
  u16 dataLength;
  u32 permanent;                 // 1: survives a reset
  char* address;
  char* name;
  u8* data;
};
extern AuthorizationEntry* authorizationEntries;

const char* addAuthorizationEntry(u16 family, const char* address, u16 displayNumber, const char* name, u16 nameLength,
                                  const u8* data, u16 dataLength, bool permanent);
// Removes every entry (all) or every entry that is not permanent.
void clearAuthorizationEntries(bool all);

// The paths in force: the proxy's authority file and the server
// authorization file (empty when none).
const char* authorityFile();
const char* serverAuthorityFile();
// Empty paths are ignored; the path is made absolute and also handed to
// host access. Null or the error text.
void setAuthorityFile(const char* path);
// Empty paths and "own" are ignored; a file that does not exist is not
// remembered, and logged ("No server authorization file %s") with warn.
void setServerAuthorityFile(const char* path, bool warn = true);
// Forgets both files and every entry (tests, and a proxy that starts over).
void forgetServerCredentials();
// Whether the configured server authorization is "own" (a generated file).
bool serverAuthorizationIsOwn();

// Writes a new MIT-MAGIC-COOKIE-1 for this host and the display number into
// the installation's variable data as a new file of mode 0600, and keeps the
// credential as a permanent entry. *path points to a static buffer. "-"
// (given as the path) writes the record to standard output. Null or the
// error text; on failure nothing is left behind.
const char* writeAuthorizationFile(u32 displayNumber, const char** path, const char* givenPath = nullptr);
// The file generated last (empty when none).
const char* generatedAuthorizationFile();
// Removes a file (a generated one's watch ends first); whether it was there.
bool removeAuthorizationFile(const char* path);
// At exit: removes every generated file. A generated file is also removed
// when the proxy is killed (processWatchFile, base/process.h).
void removeGeneratedAuthorizationFile();

// Credentials for a server: address is the host name for the local family
// (256) and the binary address otherwise. 1 with heap copies of name and
// data (the caller frees them), 0 when nothing is found. The order: the
// server authorization file, the learnt entries, the proxy's authority file
// for this host, nothing when non-cooperative heads exist, else the
// wild-family record. Among the records of one file the best type wins:
// SUN-DES-1, then XDM-AUTHORIZATION-1, then MIT-MAGIC-COOKIE-1.
// For a display whose name came from a client (clientNamed) only records
// that name its own family, address and number count, and the generated
// server cookie: never a wildcard record, one without a number, nor the
// proxy's client cookie.
int findServerAuthorization(const char* address, u32 addressLength, u32 displayNumber, u32 family, char** name,
                            u16* nameLength, char** data, u16* dataLength, bool clientNamed = false);

// The best record of an authority file for (family, address, number), as
// findServerAuthorization ranks them; family 65535 records match any
// address and records without a number any number, unless exact. 1 with
// heap copies, else 0.
int readBestAuthorization(const char* file, u32 family, const char* address, u32 addressLength,
                          const char* number, char** name, u16* nameLength, char** data, u16* dataLength,
                          bool exact = false);

// The proxy's own Xlib connection to a real server, its screen part cut:
// on this host the local form is tried first with half the time-out. The
// found credentials are used (as findServerAuthorization finds them with
// clientNamed). Null or the error text of the last attempt.
const char* connectServerDisplay(const char* name, u64 timeoutMs, u64 failsafeTimeoutMs, Display** out,
                                 bool clientNamed = false);

}  // namespace palvon
