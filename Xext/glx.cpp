#include "Xext/glx.h"

#include <utility>

namespace palvon {

const char* initGLXExtension(ExtensionEntry* entry) {
  (void)entry;
  return "GLX is not supported by this proxy";
}

void swapGLXRenderStream(u8* stream, u64 length, bool positive) {
  if (!stream) return;
  u64 off = 0;
  while (length - off >= 4) {
    u8* command = stream + off;
    if (positive) {
      std::swap(command[0], command[1]);
    }
    u16 commandLength;
    __builtin_memcpy(&commandLength, command, 2);
    if (!positive) std::swap(command[0], command[1]);
    std::swap(command[2], command[3]);
    if (commandLength < 4) return;
    u64 end = off + commandLength < length ? off + commandLength : length;
    for (u64 word = off + 4; word + 4 <= end; word += 4) {
      u32 v;
      __builtin_memcpy(&v, stream + word, 4);
      v = __builtin_bswap32(v);
      __builtin_memcpy(stream + word, &v, 4);
    }
    off += commandLength;
    if (off >= length) return;
  }
}

void freeClientGLXTags(ProxyClient*) {}
const char* copyGLXPixmapsToHead(void*, Head*) { return nullptr; }
const char* copyGLXObjectsToHead(void*) { return nullptr; }
const char* cloneContextTexturesAsync(void*, ProxyClient*, void*) { return nullptr; }
const char* useTemporaryDstTag(void*, ProxyClient*, void*) { return nullptr; }
void removeTemporaryDstTag(void*) {}
int createGLXPixmapOnHead(void*, u32, ProxyClient*, RequestWriter*, Head*) { return 1; }
void freeGLXContext(void*) {}
void freeGLXPixmap(void*) {}
void freeGLXPbuffer(void*) {}
void releaseHeadGLXObjects(Head*, u32) {}
void waitGLOnHead(ProxyClient*, Head*) {}
void writeGLXDestroyGLXPixmap(RequestWriter*, u32) {}

}  // namespace palvon
