// Special layouts of XInputExtension replies whose records steer the walk.
#include "Xext/swap/layouts.h"

namespace palvon {
namespace swapping {

namespace {

// Each feedback record starts {class, id, length}; its fields follow by class.
LayoutString feedbackLayout(u8 feedbackClass) {
  switch (feedbackClass) {
    case 0: return "bbsssiibbbb";  // keyboard: pitch, duration, LED mask and values, then bytes
    case 1: return "bbsssss";      // pointer: pad, acceleration, threshold
    case 2: return "bbsssI";       // string: sizes, then keysyms
    case 3: return "bbsiii";       // integer: resolution, minimum, maximum
    case 4: return "bbsii";        // LED: mask and values
    case 5: return "bbsbbbbss";    // bell: percent, pitch, duration
    default: return nullptr;
  }
}

}  // namespace

void swapFeedbackControlReply(Span m, bool positive) {
  u32 count = 0;
  withHeader(m, 32, "bbsis", positive, [&] { count = rd16(m, 8); });
  u64 off = 32;
  for (u32 k = 0; k < count && m.fits(off, 4); k++) {
    u32 length = take16(m, off + 2, positive);
    // A record shorter than its header would walk in place for ever.
    if (length < 4) return;
    LayoutString layout = feedbackLayout(rd8(m, off));
    if (!layout) {
      SWAP_UNE();
      return;
    }
    sw16(m, off + 2);  // apply swaps the length once more
    apply(m, off, layout, length);
    off = addSat(off, length);
  }
}

void swapQueryDeviceStateReply(Span m) {
  apply(m, 0, "bbsi", 32);
  u32 count = rd8(m, 8);
  u64 off = 32;
  for (u32 k = 0; k < count && m.fits(off, 2); k++) {
    u32 length = rd8(m, off + 1);
    if (length < 2) return;
    // Key and button states are bytes; only valuators are words.
    if (rd8(m, off) == 2) apply(m, off, "bbbbI", length);
    off += length;
  }
}

// SendExtensionEvent: header, then 32-byte events, each swapped by the
// layout its code gives, then 32-bit classes.
void swapSendExtensionEvent(Span m, bool positive) {
  u32 classes = 0, events = 0;
  withHeader(m, 16, "bbsibbs", positive, [&] {
    classes = rd16(m, 10);
    events = rd8(m, 12);
  });
  u64 off = 16;
  for (u32 k = 0; k < events && m.fits(off, 32); k++, off += 32) {
    LayoutString layout = embeddedEventLayout ? embeddedEventLayout(m.data + off, positive) : "bbs";
    apply(m, off, layout, 32);
  }
  if (m.fits(off, 0)) arr32(m, off, classes);
}

}  // namespace swapping

LayoutString (*embeddedEventLayout)(const u8* event, bool arriving) = nullptr;

}  // namespace palvon
