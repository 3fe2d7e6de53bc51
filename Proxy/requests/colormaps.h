// Colormaps and colour requests (core opcodes 78 to 92).
//
// A colormap exists on every head of its meta screen; every allocation and
// query goes to the screen's colour head through the client's link, and
// what that head allocated is repeated with the same pixels on the other
// heads (colorheads.h). Colormaps of a visual the colour head emulates are
// kept by the proxy and answered without a server.
//
// Handlers have the shapes of rows.h. Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

void ProcCreateColormap(u8* request, u32 length);
void ProcFreeColormap(u8* request, u32 length);
void ProcCopyColormapAndFree(u8* request, u32 length);
void ProcInstallColormap(u8* request, u32 length);
void ProcUninstallColormap(u8* request, u32 length);
void ProcListInstalledColormaps(u8* request, u32 length);
void ProcAllocColor(u8* request, u32 length);
void ProcAllocNamedColor(u8* request, u32 length);
void ProcAllocColorCells(u8* request, u32 length);
void ProcAllocColorPlanes(u8* request, u32 length);
void ProcFreeColors(u8* request, u32 length);
void ProcStoreColors(u8* request, u32 length);
void ProcStoreNamedColor(u8* request, u32 length);
void ProcQueryColors(u8* request, u32 length);
void ProcLookupColor(u8* request, u32 length);

void ReplyListInstalledColormaps(u8* reply, u32 length);
void ReplyAllocColor(u8* reply, u32 length);
void ReplyAllocNamedColor(u8* reply, u32 length);
void ReplyAllocColorCells(u8* reply, u32 length);
void ReplyAllocColorPlanes(u8* reply, u32 length);

}  // namespace palvon
