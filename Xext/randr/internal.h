// What the RANDR module's two halves share: the forwarding rows call the
// emulating handler of a minor when the proxy answers RANDR itself.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;

constexpr u8 kRRQueryVersion = 0, kRRSetScreenConfig = 2, kRRSelectInput = 4, kRRGetScreenInfo = 5,
             kRRGetScreenSizeRange = 6, kRRSetScreenSize = 7, kRRGetScreenResources = 8, kRRGetOutputInfo = 9,
             kRRListOutputProperties = 10, kRRQueryOutputProperty = 11, kRRConfigureOutputProperty = 12,
             kRRChangeOutputProperty = 13, kRRDeleteOutputProperty = 14, kRRGetOutputProperty = 15,
             kRRCreateMode = 16, kRRDestroyMode = 17, kRRAddOutputMode = 18, kRRDeleteOutputMode = 19,
             kRRGetCrtcInfo = 20, kRRSetCrtcConfig = 21, kRRGetCrtcGammaSize = 22, kRRGetCrtcGamma = 23,
             kRRSetCrtcGamma = 24, kRRGetScreenResourcesCurrent = 25, kRRSetCrtcTransform = 26,
             kRRGetCrtcTransform = 27, kRRGetPanning = 28, kRRSetPanning = 29, kRRSetOutputPrimary = 30,
             kRRGetOutputPrimary = 31;
constexpr u32 kRRMinors = 32;

// RANDR's own errors, from the extension's first error.
constexpr u8 kRRBadOutput = 0, kRRBadCrtc = 1, kRRBadMode = 2;

// Answers the request (already checked and swapped) from the proxy's model.
void emulateRandrRequest(u8* request, u32 length);
// Prepares every meta screen for the emulation: no primary output, both
// time stamps now.
void startRandrEmulation();
void installRandrEmulationHooks(bool on);
// The heads XINERAMA and RANDR leave out (xinerama.cpp): those of the
// auxiliary resource server and those whose server is gone; the first
// kind alone, for a head whose removal is announced.
bool isExcludedHead(const Head* head);
bool isResourceServerHead(const Head* head);

}  // namespace palvon
