// The drawing requests ClearArea (61) to PolyFillArc (71): copied to every
// head of the drawable's meta screen with ids translated and coordinates
// scaled and turned for zoomed or rotated heads, heads the drawing cannot
// touch skipped where allowed, and the exposure events of a copy held until
// every head has answered. Also the damage of the current request.
//
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyWindow;
struct Region;
struct RouteTarget;

void ProcClearArea(u8* request, u32 length);
void ProcCopyArea(u8* request, u32 length);
void ProcCopyPlane(u8* request, u32 length);
void ProcPolyPoint(u8* request, u32 length);
void ProcPolyLine(u8* request, u32 length);
void ProcPolySegment(u8* request, u32 length);
void ProcPolyRectangle(u8* request, u32 length);
void ProcPolyArc(u8* request, u32 length);
void ProcFillPoly(u8* request, u32 length);
void ProcPolyFillRectangle(u8* request, u32 length);
void ProcPolyFillArc(u8* request, u32 length);

// The current client's damage target (the type and record of the request's
// resource) and its damage region (in the window's coordinates).
u32 currentDamageTarget(void** object);
Region* currentDamageRegion();
// Whether the current request computes damage: some head is tagged
// optimizedDraw, or the request draws on a translucent window.
bool damageWanted();

// Whether a head that does not receive drawing it cannot show skips this
// request on a window drawable: a head tagged optimizedDraw that the
// window does not overlap.
bool cullsWindowHead(const Head* head, const ProxyWindow* window);
// The same by the damage region's extents.
bool cullsByDamage(const Head* head, const ProxyWindow* window, const Region* damage);

// Prepares the GC's scaled clip and origins for the drawable when scaled
// heads exist; false (BadAlloc sent) when a request could not be written.
bool prepareGCForDrawing(u32 gc, u32 drawable, const u8* request, u32 length);

}  // namespace palvon
