// Asking a real server's GLX: the GLX attributes of its visuals, and the GL
// capabilities of a head through a short-lived indirect context.
#include <X11/Xproto.h>
#include <GL/gl.h>
#include <GL/glxproto.h>
#include <GL/glxtokens.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "Proxy/servers/failsafe.h"
#include "Proxy/servers/raw.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "gl/glcaps.h"
#include "xsupport/xtarget.h"

namespace palvon {

namespace {

// What the proxy tells a server's GLX it can render with.
constexpr char kProxyGLExtensions[] =
    "GL_ARB_depth_texture GL_ARB_draw_buffers GL_ARB_fragment_program GL_ARB_fragment_program_shadow "
    "GL_ARB_imaging GL_ARB_map_buffer_range GL_ARB_multisample GL_ARB_multitexture GL_ARB_occlusion_query "
    "GL_ARB_point_parameters GL_ARB_point_sprite GL_ARB_shader_objects GL_ARB_shading_language_100 "
    "GL_ARB_shadow GL_ARB_texture_border_clamp GL_ARB_texture_compression GL_ARB_texture_cube_map "
    "GL_ARB_texture_env_add GL_ARB_texture_env_combine GL_ARB_texture_env_dot3 GL_ARB_texture_mirrored_repeat "
    "GL_ARB_texture_non_power_of_two GL_ARB_vertex_buffer_object GL_ARB_vertex_program GL_ARB_vertex_shader "
    "GL_ARB_window_pos GL_EXT_texture_env_add GL_EXT_abgr GL_EXT_bgra GL_EXT_blend_color "
    "GL_EXT_blend_func_separate GL_EXT_blend_minmax GL_EXT_blend_subtract GL_EXT_draw_range_elements "
    "GL_EXT_fog_coord GL_EXT_framebuffer_object GL_EXT_multi_draw_arrays GL_EXT_packed_pixels "
    "GL_EXT_rescale_normal GL_EXT_secondary_color GL_EXT_separate_specular_color GL_EXT_shadow_funcs "
    "GL_EXT_stencil_wrap GL_EXT_texture3D GL_EXT_texture_compression_s3tc GL_EXT_texture_edge_clamp "
    "GL_EXT_texture_env_combine GL_EXT_texture_env_dot3 GL_EXT_texture_lod_bias GL_EXT_texture_mirror_clamp "
    "GL_EXT_texture_object GL_EXT_vertex_array GL_NV_blend_square GL_NV_texgen_reflection "
    "GL_SGIS_generate_mipmap GL_SGIS_texture_lod";

constexpr GLenum kMaxDrawBuffers = 0x8824;
constexpr GLenum kMaxColorAttachments = 0x8CDF;
constexpr GLenum kShadingLanguageVersion = 0x8B8C;
constexpr GLenum kMaxTextureUnits = 0x84E2;

// One GLX request with 32-bit fields after its 4-byte header, and its reply.
bool glxCall(Display* display, u8 opcode, u8 minor, std::initializer_list<u32> fields, RawReply* reply) {
  if (!rawBegin(display)) return false;
  u8* request = rawRequest(display, opcode, minor, static_cast<u32>(4 + 4 * fields.size()));
  if (!request) return false;
  u32 offset = 4;
  for (u32 field : fields) rawPut32(request, offset, field), offset += 4;
  if (!reply) return true;
  return rawReply(display, reply);
}

// The GLX version code (major x 64 + minor); 0 without a reply.
u16 queryGLXVersion(Display* display, u8 opcode) {
  RawReply reply;
  if (!glxCall(display, opcode, X_GLXQueryVersion, {1, 4}, &reply)) return 0;
  u32 code = reply.word(8) * 64 + reply.word(12);
  rawReplyFree(&reply);
  return static_cast<u16>(code > 0xffff ? 0xffff : code);
}

// Copies a string reply's bytes (at most size - 1 and the reply's length).
void copyString(const RawReply& reply, u32 length, char* out, size_t size) {
  size_t n = length < reply.size ? length : reply.size;
  if (n >= size) n = size - 1;
  if (n) memcpy(out, reply.data, n);
  out[n] = 0;
}

bool glxString(Display* display, u8 opcode, u8 minor, std::initializer_list<u32> fields, char* out, size_t size) {
  RawReply reply;
  if (!glxCall(display, opcode, minor, fields, &reply)) return false;
  copyString(reply, reply.word(12), out, size);
  rawReplyFree(&reply);
  return true;
}

void announceClient(Display* display, u8 opcode) {
  u32 length = sizeof(kProxyGLExtensions);  // with its NUL
  u32 bytes = 16 + ((length + 3) & ~3u);
  if (!rawBegin(display)) return;
  u8* request = rawRequest(display, opcode, X_GLXClientInfo, bytes);
  if (!request) return;
  rawPut32(request, 4, 1);
  rawPut32(request, 8, 4);
  rawPut32(request, 12, length);
  memcpy(request + 16, kProxyGLExtensions, length);
}

// The GL state queries made through a current context.
struct GLSession {
  Display* display;
  u8 opcode;
  u32 tag;

  bool string(GLenum name, char* out, size_t size) {
    return glxString(display, opcode, X_GLsop_GetString, {tag, name}, out, size);
  }
  // The first one or two values of GetIntegerv.
  bool integers(GLenum name, u32* values, u32 count) {
    RawReply reply;
    if (!glxCall(display, opcode, X_GLsop_GetIntegerv, {tag, name}, &reply)) return false;
    u32 size = reply.word(12);
    for (u32 i = 0; i < count; i++) {
      if (size == 1 && i == 0) {
        values[0] = reply.word(16);  // a single value travels in the header
      } else if (i < size && (i + 1) * 4 <= reply.size) {
        memcpy(&values[i], reply.data + 4 * i, 4);
      }
    }
    rawReplyFree(&reply);
    return true;
  }
};

bool queryCapabilities(GLSession& gl, GLCapabilities* caps) {
  u32 viewport[2] = {caps->maxViewportWidth, caps->maxViewportHeight};
  u32 texture = caps->maxTextureWidth;
  if (!gl.string(GL_VERSION, caps->glVersion, sizeof(caps->glVersion)) ||
      !gl.string(GL_EXTENSIONS, caps->glExtensions, sizeof(caps->glExtensions)) ||
      !gl.integers(GL_MAX_VIEWPORT_DIMS, viewport, 2) || !gl.integers(GL_MAX_CLIP_PLANES, &caps->clipPlanes, 1) ||
      !gl.integers(GL_MAX_LIGHTS, &caps->lights, 1) || !gl.integers(GL_MAX_TEXTURE_SIZE, &texture, 1))
    return false;
  caps->maxViewportWidth = viewport[0];
  caps->maxViewportHeight = viewport[1];
  caps->maxTextureWidth = caps->maxTextureHeight = texture;
  u32 units = 0;
  if (gl.integers(kMaxTextureUnits, &units, 1) && units < 128) caps->textureUnits = units;
  if (!gl.string(GL_VENDOR, caps->glVendor, sizeof(caps->glVendor)) ||
      !gl.string(GL_RENDERER, caps->glRenderer, sizeof(caps->glRenderer)))
    return false;
  if (atof(caps->glVersion) >= 2.0) {
    if (!gl.integers(kMaxDrawBuffers, &caps->drawBuffers, 1)) PALVON_UNE();
    if (!gl.integers(kMaxColorAttachments, &caps->colorAttachments, 1)) PALVON_UNE();
    if (!gl.string(kShadingLanguageVersion, caps->shadingLanguageVersion, sizeof(caps->shadingLanguageVersion)))
      PALVON_UNE();
  }
  return true;
}

// Steps 6 to 8: a context on a 1x1 window of the GL visual, the queries,
// and everything made for them destroyed again.
bool queryThroughContext(Display* display, u8 opcode, int screen, const VisualRecord* visual, GLCapabilities* caps) {
  Window root = RootWindow(display, screen);
  XErrorTrap trap(display);
  XID context = XAllocID(display);
  Colormap colormap = XfsCreateColormap(display, root, staticVisualWithId(visual->visualId), AllocNone);
  XSetWindowAttributes attributes{};
  attributes.colormap = colormap;
  attributes.override_redirect = True;
  Window window = XfsCreateWindow(display, root, 0, 0, 1, 1, 0, visual->depth, InputOutput,
                                  staticVisualWithId(visual->visualId),
                                  CWBackPixel | CWBorderPixel | CWColormap | CWOverrideRedirect, &attributes);
  bool ok = colormap && window &&
            glxCall(display, opcode, X_GLXCreateContext,
                    {static_cast<u32>(context), visual->visualId, static_cast<u32>(screen), 0, 0}, nullptr);
  RawReply reply;
  ok = ok && glxCall(display, opcode, X_GLXMakeCurrent, {static_cast<u32>(window), static_cast<u32>(context), 0},
                     &reply);
  if (ok) {
    GLSession gl{display, opcode, reply.word(8)};
    rawReplyFree(&reply);
    ok = queryCapabilities(gl, caps);
    ok = glxCall(display, opcode, X_GLXMakeCurrent, {0, 0, gl.tag}, &reply) && ok;
    rawReplyFree(&reply);
  }
  glxCall(display, opcode, X_GLXDestroyContext, {static_cast<u32>(context)}, nullptr);
  if (window) XfsDestroyWindow(display, window);
  if (colormap) XfsFreeColormap(display, colormap);
  XfsSync(display, False);
  return ok && !isDisplayOffline(display);
}

}  // namespace

bool queryGLXVisualConfigs(Display* display, int screen, VisualRecord* records, i32 count) {
  u8 opcode = rawExtensionOpcode(display, "GLX");
  if (!opcode) return false;
  u16 version = queryGLXVersion(display, opcode);
  if (!version) return false;
  RawReply reply;
  if (glxCall(display, opcode, X_GLXGetVisualConfigs, {static_cast<u32>(screen)}, &reply)) {
    applyGLXVisualConfigs(records, count, version, reinterpret_cast<const u32*>(reply.data), reply.size / 4,
                          reply.word(8), reply.word(12));
    rawReplyFree(&reply);
  }
  // Frame-buffer configurations exist from GLX 1.3 on.
  if (version > 66 && glxCall(display, opcode, X_GLXGetFBConfigs, {static_cast<u32>(screen)}, &reply)) {
    applyGLXFbConfigs(records, count, reinterpret_cast<const u32*>(reply.data), reply.size / 4, reply.word(8),
                      reply.word(12));
    rawReplyFree(&reply);
  }
  return true;
}

bool queryHeadGLX(Display* display, int screen, GLCapabilities* caps) {
  u8 opcode = rawExtensionOpcode(display, "GLX");
  if (!opcode) return false;
  u16 version = queryGLXVersion(display, opcode);
  if (!version) return false;
  glCapsInit(caps);
  caps->glxVersion = version;
  if (version < 65) return true;  // GLX 1.0: nothing more to ask
  announceClient(display, opcode);
  if (!glxString(display, opcode, X_GLXQueryServerString, {static_cast<u32>(screen), GLX_EXTENSIONS},
                 caps->glxExtensions, sizeof(caps->glxExtensions)) ||
      !caps->glxExtensions[0])
    glxString(display, opcode, X_GLXQueryExtensionsString, {static_cast<u32>(screen)}, caps->glxExtensions,
              sizeof(caps->glxExtensions));
  VisualRecord* visuals = nullptr;
  i32 count = 0;
  if (const char* error = getHeadVisuals(display, screen, &visuals, &count)) {
    logProblem(error, __FILE__, __LINE__);
    return true;
  }
  const VisualRecord* glVisual = nullptr;
  for (i32 i = 0; i < count; i++) {
    if (visuals[i].glxVersion) glVisual = &visuals[i];
  }
  bool ok = !glVisual || queryThroughContext(display, opcode, screen, glVisual, caps);
  freeHeadVisuals(visuals, count);
  if (ok) glCapsSetTextureLevels(caps);
  return ok;
}

}  // namespace palvon
