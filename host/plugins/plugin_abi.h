// What a plug-in module (a shared library named *.dlo) exports for the host, by name, with C
// linkage. A module includes this header and defines the entry points; the host looks them up
// when it loads the module (host/plugins/plugins.h).
//
// How a module reaches the host: the host program exports its own symbols (it is linked with
// --export-dynamic and the whole host library), and a module does NOT link the host library
// itself. The module's references to host functions stay undefined until it is loaded, and then
// bind to the program's one copy, so the registries a module fills from its static initialisation
// (RegisterInterface, RegisterClassDesc) are the ones the program reads. A module that linked its
// own copy of the host library would fill registries nobody reads.
//
// Order of calls: loading runs the module's static initialisation (which may register published
// interfaces); then LibVersion (a module of another host release is refused), LibInitialize,
// LibDescription, LibNumberClasses and LibClassDesc for each index. Before unloading: the class
// descriptors leave the registry, then LibShutdown, then the module's interfaces leave the
// registry and the module is unloaded.
#pragma once

#include <cstdint>

#include "host/scene/class_desc.h"

#define TFR_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

namespace host {

// A host API version: the release in the high 16 bits, then the API number and the revision.
constexpr uint32_t MakeApiVersion(uint32_t release, uint32_t api, uint32_t revision) {
  return (release << 16) | (api << 8) | revision;
}
inline constexpr uint32_t kHostApiVersion = MakeApiVersion(29000, 0, 0);
static_assert(kHostApiVersion == 0x71480000);
// The release a version was built against.
constexpr uint32_t ApiRelease(uint32_t version) { return version >> 16; }

}  // namespace host

// The entry points, as a module defines them.
TFR_MODULE_EXPORT const char* LibDescription();          // one line shown in the plug-in list
TFR_MODULE_EXPORT int LibNumberClasses();                // how many class descriptors follow
TFR_MODULE_EXPORT host::ClassDesc* LibClassDesc(int i);  // null for an index out of range
TFR_MODULE_EXPORT uint32_t LibVersion();                 // host::kHostApiVersion at build time
TFR_MODULE_EXPORT int LibInitialize();                   // optional; nonzero when ready
TFR_MODULE_EXPORT int LibShutdown();                     // optional; nonzero when done

// Their types, as the host looks them up.
using LibDescriptionFn = const char* (*)();
using LibNumberClassesFn = int (*)();
using LibClassDescFn = host::ClassDesc* (*)(int);
using LibVersionFn = uint32_t (*)();
using LibInitializeFn = int (*)();
using LibShutdownFn = int (*)();
