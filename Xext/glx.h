// GLX as far as the rest of the proxy calls it. The proxy offers no GLX:
// the extension's init refuses, so the registry withdraws it and no client
// ever sees it; without GLX objects the copy and free operations have
// nothing to do and succeed.
#pragma once

#include "Proxy/extensions.h"
#include "base/strings.h"

namespace palvon {

struct ProxyClient;
struct Head;
struct RequestWriter;

// Refuses with a message (GLX is not offered).
const char* initGLXExtension(ExtensionEntry* entry);

// Swaps a GLX render stream command by command: each command's 16-bit
// length and opcode, then the rest of the command as 32-bit words. The
// length is read after swapping when positive (arriving), before when
// negative. A command shorter than its 4-byte header ends the walk.
void swapGLXRenderStream(u8* stream, u64 length, bool positive);

void freeClientGLXTags(ProxyClient* client);
// Bring a head into GLX / copy GLX objects to a joining head: null (success).
const char* copyGLXPixmapsToHead(void* copyState, Head* head);
const char* copyGLXObjectsToHead(void* copyState);
const char* cloneContextTexturesAsync(void* context, ProxyClient* client, void* copyState);
const char* useTemporaryDstTag(void* context, ProxyClient* client, void* copyState);
void removeTemporaryDstTag(void* copyState);
// Gives 1 (success).
int createGLXPixmapOnHead(void* pixmap, u32 id, ProxyClient* client, RequestWriter* writer, Head* head);
void freeGLXContext(void* record);
void freeGLXPixmap(void* record);
void freeGLXPbuffer(void* record);
void releaseHeadGLXObjects(Head* head, u32 screen);
void waitGLOnHead(ProxyClient* client, Head* head);
void writeGLXDestroyGLXPixmap(RequestWriter* writer, u32 glxPixmap);

}  // namespace palvon
