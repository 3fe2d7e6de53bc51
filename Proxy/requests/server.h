// Input-device control and server-wide requests (core opcodes 100 to 119;
// NoOperation, 127, keeps its default handler).
//
// Keyboard, pointer, bell and screen-saver settings are server-wide: they
// reach one head per real server, filtered by what the head shows (a head
// inside a window on another desktop takes them only when its server holds
// input control, or is not managed by a window manager); queries go to the
// input-control server. Keycodes are shifted between the proxy's keyboard
// range and each server's. Host access, close-down modes and KillClient are
// answered by the proxy itself.
//
// Handlers have the shapes of rows.h. Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

void ProcChangeKeyboardMapping(u8* request, u32 length);
void ProcGetKeyboardMapping(u8* request, u32 length);
void ProcChangeKeyboardControl(u8* request, u32 length);
void ProcGetKeyboardControl(u8* request, u32 length);
void ProcBell(u8* request, u32 length);
void ProcChangePointerControl(u8* request, u32 length);
void ProcSetScreenSaver(u8* request, u32 length);
void ProcChangeHosts(u8* request, u32 length);
void ProcListHosts(u8* request, u32 length);
void ProcSetAccessControl(u8* request, u32 length);
void ProcSetCloseDownMode(u8* request, u32 length);
void ProcKillClient(u8* request, u32 length);
void ProcRotateProperties(u8* request, u32 length);
void ProcForceScreenSaver(u8* request, u32 length);
void ProcSetPointerMapping(u8* request, u32 length);
void ProcSetModifierMapping(u8* request, u32 length);

void ReplyGetKeyboardMapping(u8* reply, u32 length);
void ReplyGetKeyboardControl(u8* reply, u32 length);
void ReplyListHosts(u8* reply, u32 length);
void ReplyGetPointerMapping(u8* reply, u32 length);
void ReplySetPointerMapping(u8* reply, u32 length);
void ReplyGetModifierMapping(u8* reply, u32 length);

// The input-control server's head, and the number of pointer buttons the
// proxy offers.
struct Head;
struct ServerDisplay;
Head* inputControlHead();
// The server's number of pointer buttons, read once; 0 without a display.
u32 serverButtonCount(ServerDisplay* display);
u32 offeredPointerButtons();

// --- The arithmetic, for the handlers and their tests --------------------------------

// The part of the keycodes first .. first + count - 1 that a server whose
// keycodes end at headMax takes, starting at headFirst (the converted first
// keycode): the count cut so that no keycode passes headMax; 0 when none.
u32 keycodeCountOnHead(u32 headFirst, u32 count, u32 headMax);
// A 256-bit auto-repeat vector of a server moved to the proxy's keycodes
// (bit k to bit k + shift), the bits outside low .. high cleared.
void shiftAutoRepeats(const u8* server, u8* proxy, i32 shift, u32 low, u32 high);
// The proxy's pointer map of `count` buttons from a server's map of
// serverCount: the server's entries as far as both reach, then the proxy's
// own entries (`kept`, at least count long).
void composePointerMap(const u8* server, u32 serverCount, const u8* kept, u8* out, u32 count);

}  // namespace palvon
