// The registry of object classes: the host's own, with which it starts, and those that plug-ins
// and programs register. Registration is for start-up and plug-in loading, on the main thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/scene/class_desc.h"
#include "host/scene/objects.h"

namespace host {

// A descriptor must stay alive while registered. Fails on a class id or name already taken or an
// invalid block description.
bool RegisterClassDesc(const ClassDesc& desc, std::string* error);
bool UnregisterClassDesc(ClassId id);
const ClassDesc* FindClassDesc(ClassId id);
// By class name or internal name, exactly.
const ClassDesc* FindClassDesc(std::string_view name);
std::vector<const ClassDesc*> RegisteredClassDescs();

// A new object of the registered class of that name, with its auto-construct parameter blocks at
// their defaults; null, with the reason in `error`, when no class is called so.
std::unique_ptr<Object> CreateObject(std::string_view className, std::string* error);

}  // namespace host
