// XVideo's virtual ports: clients see the adaptors and port numbers of each
// meta screen's colour head; every other head of the screen must have a
// matching adaptor, and a virtual port becomes that head's own port before
// a request goes there.
//
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;
struct MetaScreen;

constexpr u32 kXvHeadSlots = 129;

// One usable adaptor of a screen's colour head, on the module's list.
struct XvPortRange {
  XvPortRange* next;
  MetaScreen* screen;
  u32 adaptor;             // index in the colour head's adaptor list
  u32 first;               // the colour head's base port: the first virtual port
  u16 count;               // ports of the adaptor
  u8 type;                 // adaptor type bits
  u32 base[kXvHeadSlots];  // per head (numberInScreen): its base port, 0 none
};

// What matching needs of a head's adaptor.
struct XvAdaptorFacts {
  u32 basePort;
  u32 portCount;
  u8 type;
};

// The range holding the port, or null.
XvPortRange* findXvPortRange(u32 port);
// The port as the head knows it; a port in no range is logged and stays.
u32 xvPort2server(u32 port, const Head* head);
// The pure part: the head's base port for a range of that type among the
// head's adaptors (the first whose type has every bit of it), or 0.
u32 matchAdaptorBase(u8 type, const XvAdaptorFacts* adaptors, u32 count);

// The module's list.
XvPortRange* xvPortRanges();
// Appends a range; false when memory runs out.
XvPortRange* addXvPortRange(MetaScreen* screen, u32 adaptor, u32 first, u16 count, u8 type);
void removeXvPortRange(XvPortRange* range);
void freeXvPortRanges();

}  // namespace palvon
