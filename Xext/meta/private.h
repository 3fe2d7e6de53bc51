// What the META module's files share: the request handlers by area and the
// answers every area gives.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ProxyClient;

// Minor opcodes.
constexpr u8 kMetaQueryExtension = 0, kMetaGetScreenValues = 1, kMetaSetScreenValues = 2, kMetaListHeads = 3,
             kMetaAddServer = 4, kMetaRemoveServer = 5, kMetaGetHeadDisplayName = 6, kMetaGetHeadValues = 7,
             kMetaSetHeadValues = 8, kMetaSelectEvents = 9, kMetaTerminateProxy = 10, kMetaAddHead = 11,
             kMetaRemoveHead = 12, kMetaTranslateXID = 13, kMetaSetWindowLayer = 14, kMetaGetWindowLayer = 15,
             kMetaGetParameter = 17, kMetaSetWindowSticking = 18, kMetaGrabDeviceForOtherClient = 20,
             kMetaUngrabDeviceForOtherClient = 21;

// Error indexes.
constexpr u8 kPalvoBadScreen = 0, kPalvoBadHead = 1;

// Reply layouts that several handlers and the reply rows share. A u32 at
// byte 8 is one 32-bit field, whatever width its text length would need.
inline constexpr const char* kMetaStatusLayout = "bbsii";
inline constexpr const char* kMetaAddServerIdsLayout = "bbsissI";
inline constexpr const char* kMetaAddServerTextLayout = "bbsiss";
inline constexpr const char* kMetaHeadValuesLayout = "bbsississssssssiiiissssssssbbbbbbsiibbsssiiss";

// The status reply: no text is success; a text is logged with the request
// and the client and sent with its terminating zero, padded to 4.
void sendMetaStatus(const u8* request, const char* text);
// A reply of `length` bytes (a multiple of 4, at least 32) for the current
// request, in the proxy's order: type, sequence and length are set here.
void sendMetaReply(const u8* request, u8* reply, u32 length, const char* layout);
// BadAlloc for a reply that could not be made (bad value: its size).
void refuseMetaReply(const u8* request, u32 length, u32 size);
// A value of the request's data in the client's byte order.
u32 clientWord(const u8* at);

// Handlers by area (heads.cpp, windows.cpp).
void ProcMetaGetHeadValues(u8* request, u32 length);
void ProcMetaSetHeadValues(u8* request, u32 length);
void ProcMetaAddServer(u8* request, u32 length);
void ProcMetaRemoveServer(u8* request, u32 length);
void ProcMetaAddHead(u8* request, u32 length);
void ProcMetaRemoveHead(u8* request, u32 length);
void ProcMetaSetWindowLayer(u8* request, u32 length);
void ProcMetaGetWindowLayer(u8* request, u32 length);
void ProcMetaSetWindowSticking(u8* request, u32 length);
void ProcMetaGrabDeviceForOtherClient(u8* request, u32 length);
void ProcMetaUngrabDeviceForOtherClient(u8* request, u32 length);
void ProcMetaGetParameter(u8* request, u32 length);

}  // namespace palvon
