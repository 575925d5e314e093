/* The bridge through which sibling plug-ins read a domain's fire from memory. This header is the
 * contract: it compiles as C and as C++, and a sibling needs nothing else of ours.
 *
 * A sibling finds the already loaded module "TolvarisFire.dlo", calls its export TFR_GetBridge
 * and keeps the table. For a scene node (the host's node, passed as an opaque pointer) at a time
 * in ticks, getFrame fills a frame record with a render-ready volume shaded by the domain's own
 * look settings:
 *
 *   extinction  nx*ny*nz floats
 *   emission    3*nx*ny*nz floats, red, green, blue per cell
 *   third       nx*ny*nz floats, the frame's third channel
 *
 * all ordered z fastest, then y, then x: cell (x, y, z) is at z + nz * (y + ny * x). The arrays
 * are shared and read-only; they stay valid until the sibling passes the record's holder to
 * releaseFrame, once for every frame delivered. getFrame may be called from several threads.
 *
 * Frame record, 144 bytes, byte offsets:
 *     0 u32 nx, ny, nz         12 f32 voxel edge, metres
 *    16 f32 origin x, y, z: minimum corner in the domain's local frame, metres
 *    28 f32 row0[3], row1[3], row2[3]: rotation and scale of the node's world transform
 *    64 f32 translation[3] of that transform, metres               76 4 bytes padding
 *    80 ptr extinction         88 ptr emission
 *    96 f32 smoke colour r, g, b                                  108 f32 self shadow
 *   112 f32 glow              116 4 bytes padding
 *   120 u64 generation: changes whenever the displayed frame does
 *   128 ptr holder            136 ptr third
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#define TFR_BRIDGE_MODULE "TolvarisFire.dlo"
#define TFR_BRIDGE_EXPORT "TFR_GetBridge"
#define TFR_BRIDGE_VERSION 2

#ifdef __cplusplus
extern "C" {
#define TFR_BRIDGE_ASSERT(cond, text) static_assert(cond, text)
#else
#define TFR_BRIDGE_ASSERT(cond, text) _Static_assert(cond, text)
#endif

typedef struct TfrBridgeFrame {
  uint32_t nx, ny, nz;
  float voxel;
  float origin[3];
  float row0[3], row1[3], row2[3];
  float translation[3];
  uint32_t padding0;
  const float* extinction;
  const float* emission;
  float smokeColor[3];
  float selfShadow;
  float glow;
  uint32_t padding1;
  uint64_t generation;
  void* holder;
  const float* third;
} TfrBridgeFrame;

/* 1 when the node's object is a fire domain; the two further arguments are ignored. */
typedef int (*TfrIsFireNodeFn)(void* node, void* unused0, void* unused1);
/* 1 when a frame was delivered into `out`, 0 otherwise (not a domain, no frame, no memory). */
typedef int (*TfrGetFrameFn)(void* node, int32_t time, TfrBridgeFrame* out);
/* Gives a delivered frame's holder back; null is ignored. */
typedef void (*TfrReleaseFrameFn)(void* holder);

typedef struct TfrBridge {
  int64_t version; /* TFR_BRIDGE_VERSION */
  TfrIsFireNodeFn isFireNode;
  TfrGetFrameFn getFrame;
  TfrReleaseFrameFn releaseFrame;
} TfrBridge;

typedef const TfrBridge* (*TfrGetBridgeFn)(void);

TFR_BRIDGE_ASSERT(sizeof(void*) == 8, "the bridge is laid out for 64-bit processes");
TFR_BRIDGE_ASSERT(sizeof(TfrBridge) == 32 && offsetof(TfrBridge, isFireNode) == 8 &&
                      offsetof(TfrBridge, getFrame) == 16 && offsetof(TfrBridge, releaseFrame) == 24,
                  "bridge table layout");
TFR_BRIDGE_ASSERT(sizeof(TfrBridgeFrame) == 144, "frame record size");
TFR_BRIDGE_ASSERT(offsetof(TfrBridgeFrame, ny) == 4 && offsetof(TfrBridgeFrame, nz) == 8 &&
                      offsetof(TfrBridgeFrame, voxel) == 12 && offsetof(TfrBridgeFrame, origin) == 16,
                  "frame record: dimensions, voxel, origin");
TFR_BRIDGE_ASSERT(offsetof(TfrBridgeFrame, row0) == 28 && offsetof(TfrBridgeFrame, row1) == 40 &&
                      offsetof(TfrBridgeFrame, row2) == 52 && offsetof(TfrBridgeFrame, translation) == 64,
                  "frame record: transform");
TFR_BRIDGE_ASSERT(offsetof(TfrBridgeFrame, extinction) == 80 && offsetof(TfrBridgeFrame, emission) == 88,
                  "frame record: arrays");
TFR_BRIDGE_ASSERT(offsetof(TfrBridgeFrame, smokeColor) == 96 && offsetof(TfrBridgeFrame, selfShadow) == 108 &&
                      offsetof(TfrBridgeFrame, glow) == 112,
                  "frame record: look");
TFR_BRIDGE_ASSERT(offsetof(TfrBridgeFrame, generation) == 120 && offsetof(TfrBridgeFrame, holder) == 128 &&
                      offsetof(TfrBridgeFrame, third) == 136,
                  "frame record: generation, holder, third channel");

#undef TFR_BRIDGE_ASSERT
#ifdef __cplusplus
}
#endif
