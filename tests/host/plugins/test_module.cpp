// A plug-in module for the loading tests. Like a real plug-in it does not link the host library:
// its interface registers itself from static initialisation through the host's own registry, and
// its class descriptor is handed out by LibClassDesc.
//
// The tests watch the order of events through TfrTestModuleEvent, which the test program exports;
// the weak reference keeps the module loadable into programs that do not have it (tolvaris).
#include <string>

#include "host/scene/objects.h"
#include "host/core/platform.h"
#include "host/plugins/plugin_abi.h"
#include "host/plugins/publish.h"

extern "C" __attribute__((weak)) void TfrTestModuleEvent(const char* event);

namespace {

void Event(const char* event) {
  if (TfrTestModuleEvent) TfrTestModuleEvent(event);
}

bool gInitialised = false;

// An object of the module's own class; everything but its class comes from the host's Object.
class Widget : public host::Object {
 public:
  using Object::Object;
};

class WidgetDesc : public host::ClassDesc {
 public:
  std::string_view ClassName() const override { return "Test Widget"; }
  std::string_view InternalName() const override { return "TestWidget"; }
  std::string_view Category() const override { return "Tests"; }
  host::SuperClassId SuperClassID() const override { return host::kGeomObjectSuperClass; }
  host::ClassId ClassID() const override { return {0x7e570001, 0x7e570002}; }
  std::unique_ptr<host::Object> Create() const override { return std::make_unique<Widget>(*this); }
};

WidgetDesc gWidgetDesc;

using host::FPType;

class TestOps : public host::FPInterface {
 public:
  enum : uint32_t { kAdd, kScale, kGreet, kIsNull, kInitialised, kReadsTooFar, kDocuments };

  TestOps()
      : FPInterface({0x7e57a001, 0x7e57a002}, "TestModuleOps", host::kFPCoreInterface, nullptr,
                    {{kAdd, "add", FPType::Int, {{"a", FPType::Int}, {"b", FPType::Int}}},
                     {kScale, "scale", FPType::Float,
                      {{"x", FPType::Float}, {"factor", FPType::Float, host::Value(2.0f)}}},
                     {kGreet, "greet", FPType::String,
                      {{"name", FPType::String}, {"punctuation", FPType::String, host::Value("!")}}},
                     {kIsNull, "isNull", FPType::Bool, {{"node", FPType::Node}}},
                     {kInitialised, "initialised", FPType::Bool, {}},
                     {kReadsTooFar, "readsTooFar", FPType::Int, {{"a", FPType::Int}}},
                     {kDocuments, "documents", FPType::String, {}}}) {
    host::RegisterInterface(this);
    Event("registered");
  }
  ~TestOps() override { Event("destroyed"); }

 protected:
  host::Value Dispatch(uint32_t id, const host::FPArgs& args) override {
    switch (id) {
      case kAdd: return args[0].AsInt() + args[1].AsInt();
      case kScale: return args[0].AsFloat() * args[1].AsFloat();
      case kGreet: return "hello " + args[0].AsString() + args[1].AsString();
      case kIsNull: return args[0].AsNode() == nullptr;
      case kInitialised: return gInitialised;
      // Reads an argument it did not declare: the host's argument list refuses.
      case kReadsTooFar: return args[1].AsInt();
      // The documents folder as the module sees it: the program's, when both share one host.
      case kDocuments: return host::DocumentsFolder().string();
    }
    return host::Value::Unhandled();
  }
};

TestOps gTestOps;

}  // namespace

TFR_MODULE_EXPORT const char* LibDescription() { return "Tolvaris test module"; }
TFR_MODULE_EXPORT int LibNumberClasses() { return 1; }
TFR_MODULE_EXPORT host::ClassDesc* LibClassDesc(int i) { return i == 0 ? &gWidgetDesc : nullptr; }
TFR_MODULE_EXPORT uint32_t LibVersion() { return host::kHostApiVersion; }
TFR_MODULE_EXPORT int LibInitialize() {
  gInitialised = true;
  Event("initialize");
  return 1;
}
TFR_MODULE_EXPORT int LibShutdown() {
  Event("shutdown");
  return 1;
}
