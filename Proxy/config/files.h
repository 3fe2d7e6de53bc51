// The installation: directories named by the environment that the wrapper
// script sets, paths resolved against them, and the product and version
// texts.
//
// Main thread only: several results live in static buffers (said per call).
#pragma once

#include <cstdio>

#include "base/strings.h"

namespace palvon {

// What makeInstallPath resolves a name against.
enum InstallPathKind : u32 {
  kPathBin = 0,        // $PALVON_HOME/bin
  kPathLocale = 1,     // $PALVON_HOME/share/locale
  kPathManual = 2,     // $PALVON_HOME/share/manual
  kPathEtc = 3,        // $PALVON_ETC
  kPathTemporary = 4,  // a new unique file in $PALVON_VAR (else $PALVON_ETC, else the temp dir)
  kPathLog = 5,        // $PALVON_VAR/logs (else $PALVON_ETC)
  kPathVar = 6,        // $PALVON_VAR (else $PALVON_ETC)
};

constexpr size_t kInstallPathSize = 4096;

// The value of PALVON_HOME in a static buffer, or null when unset.
const char* getHomeDirectory();
// The value of PALVON_ETC, or null.
const char* getEtcDirectory();
// "Environment variable PALVON_<suffix> not set - Be sure to start the
// wrapper script" (temporary string); suffix is "HOME", "ETC" or "VAR".
const char* missingEnvironmentText(const char* suffix);

// Writes the path of the name into out (kInstallPathSize bytes). A name that
// starts with '/' is copied unchanged. For kPathTemporary the file is created
// (empty, mode 0600) so that nobody else can take the name; the caller
// removes it. Returns null or an error text.
const char* makeInstallPath(const char* name, u32 kind, char* out);

// The documentation start page (static buffer), or the maker's web address
// when it cannot be resolved.
const char* getDocumentationPage();

// "<program>-<login>-<display>.log" in the log directory (static buffer), or
// "stderr" when no directory is known. The display number is the proxy's own.
const char* getLogFileName();

const char* getProductName();   // "Palvon"
const char* getMakerName();     // "Morvandell"
// The version text; the same static buffer on every call.
const char* getProductVersion();

// Writes the version report (product, version, host, system and the option
// words) for -version and -info.
void printVersionReport(FILE* out);

}  // namespace palvon
