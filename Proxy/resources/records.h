// Records of the resources that outlive the request naming them: pixmaps,
// fonts, cursors and colormaps, with their reference counts, the proxy's own
// copies of pixmaps that must survive their owner ("zombie pixmaps"), and
// the destructors the resource database runs for these types.
//
// Reference counting: a new record has count 0 and belongs to its id; every
// further holder (a GC's tile, a window's border, a picture, a grab) takes a
// reference with the ref operation and gives it back with the unref
// operation; the record dies at an unref with count 0. Freeing the id while
// the count is above 0 clears the record's id (fonts, cursors) or makes the
// pixmap a zombie. Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "Proxy/resources/resource.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct MetaScreen;
struct VisualRecord;
struct ProxyClient;
struct EmulatedColormapState;
struct FontGlyphImages;
struct GlyphBox;
struct HeadCursor;

// A copy of a pixmap that the proxy holds through its own connection to a
// head's server.
struct PixmapHeadCopy {
  PixmapHeadCopy* next;
  PixmapHeadCopy* previous;
  Head* head;
  u32 serverId;
};

struct PixmapRecord {
  u32 id;
  u16 width, height;
  u8 depth;
  // References held by other objects; the owner's own id does not count.
  // Wider than any number of holders a client can make.
  u32 refCount;
  MetaScreen* screen;
  VisualRecord* visual;
  u8 ownerPresent;  // the owner's server pixmaps exist on its connections
  u8 isZombie;      // on the zombie list
  PixmapHeadCopy* headCopies;
  PixmapRecord* zombieNext;
  PixmapRecord* zombiePrevious;
};

// The glyph pixmap of a font on one zoomed head.
struct FontHeadGlyphs {
  FontHeadGlyphs* next;
  FontHeadGlyphs* previous;
  Head* head;
  u32 pixmap;  // on the head's server, 0 when none could be made
  u32 markerSerial;
  u32 markerWindow;
  XCharStruct* metrics;  // converted for the head
  // Added with the glyph pixmaps: where each glyph lies in the pixmap
  // (x 65535: no glyph), in the same block as the entry, and their count.
  GlyphBox* boxes;
  u32 glyphCount;
};

using GlyphImagesDestroy = void (*)(FontGlyphImages* images);

struct FontRecord {
  FontRecord* next;
  FontRecord* previous;
  u32 id;  // cleared when the id is closed while references remain
  u32 refCount;
  u32 serial;  // the font's number in recordings
  XFontStruct* fontInfo;  // loaded on the font server display
  u8 fontInfoLoaded;      // fontInfo came from XLoadQueryFont there
  FontGlyphImages* glyphImages;
  GlyphImagesDestroy destroyGlyphImages;
  u8* glyphBuffer;
  FontHeadGlyphs* headGlyphs;
  u32 temporaryId;  // the id under which GCs' closed font is opened on a joining head
  u32 temporaryIdUsers;
  u32 fontPathCount;  // the proxy's font path when the font was opened
  char** fontPath;
  char* name;  // case preserved
};

// What a cursor needs on one server display: the server cursor and the image
// from which it can be made again.
struct CursorDisplayEntry {
  u32 serverCursor;
  u16 width, height;
  u16 depth;
  u16 hotX, hotY;
  XColor foreground, background;
  u32 renderFormat;
  u8* image;
  u8* mask;  // may be the image buffer itself
};

struct CursorRecord {
  CursorRecord* next;
  CursorRecord* previous;
  u32 id;  // cleared when the id is freed
  u32 refCount;
  u32 displayCount;
  CursorDisplayEntry* entries;  // displayCount entries, after the record
  // Added with the cursor requests: the images every head's cursor is made
  // from (one for a core cursor), in the client's bitmap layout; owned by
  // the record (cursorImageArrayFree).
  HeadCursor* images;
  u32 imageCount;
};

constexpr u32 kAllocNone = 0;
constexpr u32 kAllocAll = 1;
constexpr u32 kAllocationShared = 1;    // one read-only cell (AllocColor family)
constexpr u32 kAllocationWritable = 0;  // writable cells (AllocColorCells, AllocColorPlanes)

struct ColormapAllocation {
  ProxyClient* owner;  // null for the proxy itself
  u32 pixel;
  u32 planeMask;
  u32 kind;
};

struct ColormapRecord {
  u32 id;
  u32 alloc;
  MetaScreen* screen;
  VisualRecord* visual;
  // Colormap-size entries each for the writable classes, else null; they
  // lie in the record's own block.
  u16* red;
  u16* green;
  u16* blue;
  ColormapAllocation* allocations;
  u32 allocationCount;
  u32 allocationCapacity;
  EmulatedColormapState* emulation;
};

// A current cursor of a head that must be set again.
inline CursorRecord* const kCursorUnknown = reinterpret_cast<CursorRecord*>(1);

// --- Pixmaps -------------------------------------------------------------------
// A record owned by its id (ownerPresent set); null when memory runs out.
PixmapRecord* createPixmapRecord(u32 id, u16 width, u16 height, u8 depth, MetaScreen* screen, VisualRecord* visual);
// Takes a reference (null is ignored). With a referrer of another client than
// the pixmap's, the proxy first copies the pixmap onto every head of its
// screen through its own connections, so the referrer keeps a working pixmap
// after the owner is gone.
void refPixmap(PixmapRecord* pixmap, u32 referrerId);
// Gives a reference back; at count 0 the pixmap is destroyed. With
// keepAsZombie and references left, it goes on the zombie list.
void unrefPixmap(PixmapRecord* pixmap, int keepAsZombie);
// The pixmap's id on the head: the client's server id while the owner is
// present, else the proxy's copy there (the pixmap id when none).
u32 pixmapServerId(const PixmapRecord* pixmap, const Head* head);
// True when the id is a zombie pixmap's.
bool isZombiePixmapId(u32 id);
// Clears the owner of every zombie whose id lies in the slot.
void clearZombieOwners(u32 slot);

// --- Fonts -----------------------------------------------------------------------
// A record with count 0 and the next serial, on the font list; null when
// memory runs out.
FontRecord* createFontRecord(u32 id, const char* name, u32 nameLength);
// recording: the sink of a state copy, or null.
void refFont(FontRecord* font, void* recording);
void unrefFont(FontRecord* font, u32 id);

// --- Cursors ---------------------------------------------------------------------
// A zeroed record with one entry per display, on the cursor list and
// registered as RT_CURSOR; null when memory runs out or the registration
// failed.
CursorRecord* createCursorRecord(u32 id, u32 displayCount);
void refCursor(CursorRecord* cursor);
void unrefCursor(CursorRecord* cursor);

// --- Colormaps -------------------------------------------------------------------
// A record for the visual, registered as RT_COLORMAP; with AllocAll on a
// writable visual every cell is allocated on every head first. Null on
// failure.
ColormapRecord* createColormapRecord(ProxyClient* client, u32 id, MetaScreen* screen, VisualRecord* visual,
                                     u32 alloc);
u64 colormapRecordSize(const VisualRecord* visual);
// A copy whose tables point into the copy (the allocation list is copied
// too); null when memory runs out.
ColormapRecord* cloneColormapRecord(const ColormapRecord* record);
// Frees a record that never entered the database.
void freeColormapRecord(ColormapRecord* record);
// True for GrayScale, PseudoColor and DirectColor.
bool isWritableVisualClass(u8 visualClass);

// The destructors that the resource database runs for these types.
void destroyPixmapResource(u32 id, PixmapRecord* pixmap);
void destroyFontResource(u32 id, FontRecord* font);
void destroyCursorResource(CursorRecord* cursor);
void destroyColormapResource(ColormapRecord* colormap);

}  // namespace palvon
