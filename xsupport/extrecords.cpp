// The libraries find their records through libXext's XextFindDisplay and
// make them through XextAddDisplay; both are wrapped here (the program's
// definitions come first for every library) and pass on to libXext's own.
#include "xsupport/extrecords.h"

#include <dlfcn.h>

#include <mutex>

#include <X11/Xlibint.h>
// The header declares libXext's functions without C linkage.
extern "C" {
#include <X11/extensions/extutil.h>
}
#undef min
#undef max

#include "base/strings.h"

namespace palvon {

namespace {

struct Followed {
  Display* display;
  XExtensionInfo* list;     // of the record found last on it
  XExtDisplayInfo* record;
  XPointer data;            // what the record held then
  XExtensionInfo* halfList;  // the record a given-up call left half made
  XExtDisplayInfo* halfRecord;
};

// The close hook each library gave with its list.
struct ListHook {
  XExtensionInfo* list;
  LibraryCloseHook hook;
};

std::mutex mutex;
Followed followed[64];
u32 followedCount = 0;
ListHook listHooks[64];
u32 listHookCount = 0;

Followed* findFollowed(const Display* display) {
  for (u32 i = 0; i < followedCount; i++)
    if (followed[i].display == display) return &followed[i];
  return nullptr;
}

void noteFound(XExtensionInfo* list, Display* display, XExtDisplayInfo* record) {
  if (!record) return;
  std::lock_guard<std::mutex> held(mutex);
  if (Followed* f = findFollowed(display)) f->list = list, f->record = record, f->data = record->data;
}

void noteHook(XExtensionInfo* list, LibraryCloseHook hook) {
  std::lock_guard<std::mutex> held(mutex);
  for (u32 i = 0; i < listHookCount; i++) {
    if (listHooks[i].list != list) continue;
    listHooks[i].hook = hook;
    return;
  }
  if (listHookCount < sizeof listHooks / sizeof listHooks[0]) listHooks[listHookCount++] = {list, hook};
}

LibraryCloseHook hookOf(const XExtensionInfo* list) {
  for (u32 i = 0; i < listHookCount; i++)
    if (listHooks[i].list == list) return listHooks[i].hook;
  return nullptr;
}

template <class Function>
Function libXext(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

void xextFollowDisplay(Display* display) {
  std::lock_guard<std::mutex> held(mutex);
  // An entry left at this address by a connection closed elsewhere is stale.
  Followed* f = findFollowed(display);
  if (!f && followedCount < sizeof followed / sizeof followed[0]) f = &followed[followedCount++];
  if (f) *f = {display, nullptr, nullptr, nullptr, nullptr, nullptr};
}

void xextNoteCallGivenUp(Display* display) {
  std::lock_guard<std::mutex> held(mutex);
  Followed* f = findFollowed(display);
  // Records of a followed connection leave their lists only at its close.
  if (f && f->record && f->record->data != f->data) f->halfList = f->list, f->halfRecord = f->record;
}

LibraryCloseHook xextTakeOutHalfMadeRecord(Display* display) {
  std::lock_guard<std::mutex> held(mutex);
  Followed* f = findFollowed(display);
  if (!f) return nullptr;
  LibraryCloseHook hook = nullptr;
  if (f->halfRecord) {
    XextRemoveDisplay(f->halfList, display);
    hook = hookOf(f->halfList);
  }
  *f = followed[--followedCount];
  return hook;
}

}  // namespace palvon

extern "C" XExtDisplayInfo* XextFindDisplay(XExtensionInfo* list, Display* display) {
  using Find = XExtDisplayInfo* (*)(XExtensionInfo*, Display*);
  static const Find find = palvon::libXext<Find>("XextFindDisplay");
  XExtDisplayInfo* record = find(list, display);
  palvon::noteFound(list, display, record);
  return record;
}

extern "C" XExtDisplayInfo* XextAddDisplay(XExtensionInfo* list, Display* display, _Xconst char* name,
                                           XExtensionHooks* hooks, int events, XPointer data) {
  using Add = XExtDisplayInfo* (*)(XExtensionInfo*, Display*, _Xconst char*, XExtensionHooks*, int, XPointer);
  static const Add add = palvon::libXext<Add>("XextAddDisplay");
  if (hooks) palvon::noteHook(list, hooks->close_display);
  XExtDisplayInfo* record = add(list, display, name, hooks, events, data);
  palvon::noteFound(list, display, record);
  return record;
}
