// X errors to clients, the names of requests and errors for the logs, and
// the log line of an error that a server returned.
//
// Returned texts are temporary strings unless said otherwise. Main thread.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ProxyClient;

// A core error for the current request of the current client, with the
// client's request counter as its sequence.
void sendXError(u8 code, u32 badValue, const u8* request, u32 length, const char* text);
// code is relative to the first error of the request's extension (its major
// at byte 0); counts the error on that extension.
void sendExtensionError(u8 code, u32 badValue, const u8* request, u32 length, const char* text);

const char* getRequestName(u32 major, u32 minor);
// "big GetImage #12": in a static buffer, valid until the next call.
const char* describeClientRequest(const u8* request);
const char* getErrorName(u32 code);
// Logs an error a server returned for the current client (detail flag
// 0x400000) and counts it on the client.
void logServerError(const u8* error, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The client's name for messages ("#3" when no better name is known).
const char* clientNameText(const ProxyClient* client);

// Detail flag of X errors of clients in the log.
constexpr u32 kDetailClientErrors = 0x400000;
// The process-wide detail flags (filled at start-up from the log types).
extern u32 detailFlags;

}  // namespace palvon
