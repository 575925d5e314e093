// Array memory and transfers on either compute path, for the solver and the renderer alike. On the GPU path allocations are device
// memory zero-filled on the run's stream, uploads and downloads wait for their transfer, and
// device-to-device copies and fills are only queued. On the CPU path all of them are plain
// allocations and memcpy.
#pragma once

#include <cstddef>

#include "device/exec.h"

namespace tf {

// Zero-filled array of `bytes`, or null when the memory is not there.
void* DeviceAllocZeroed(const Exec& ex, size_t bytes);
void DeviceFree(const Exec& ex, void* p);
void Upload(const Exec& ex, void* dst, const void* src, size_t bytes);
void Download(const Exec& ex, void* dst, const void* src, size_t bytes);
void CopyOnDevice(const Exec& ex, void* dst, const void* src, size_t bytes);
// Clears `bytes` at dst; nothing while the Exec's skip flag is raised (see Exec::skip).
void FillZero(const Exec& ex, void* dst, size_t bytes);
void WaitStream(const Exec& ex);
// Waits for the stream and tells whether everything queued on it (launches included) succeeded;
// clears the device's error state. Always true on the CPU path.
bool DeviceOk(const Exec& ex);

}  // namespace tf
