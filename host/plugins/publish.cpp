#include "host/plugins/publish.h"

#include "host/core/status.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace host {

std::string ToString(InterfaceId id) {
  char text[32];
  std::snprintf(text, sizeof text, "(0x%08x, 0x%08x)", id.a, id.b);
  return text;
}

const char* TypeName(FPType type) {
  switch (type) {
    case FPType::Void: return "nothing";
    case FPType::Bool: return "bool";
    case FPType::Int: return "int";
    case FPType::Float: return "float";
    case FPType::String: return "string";
    case FPType::Node: return "node";
    case FPType::Point3: return "point";
  }
  return "?";
}

FPType Value::Type() const {
  switch (v_.index()) {
    case 1: return FPType::Bool;
    case 2: return FPType::Int;
    case 3: return FPType::Float;
    case 4: return FPType::String;
    case 5: return FPType::Node;
    case 6: return FPType::Point3;
    default: return FPType::Void;
  }
}

ArgumentOutOfRange::ArgumentOutOfRange(size_t index, size_t count, const std::string& message)
    : std::out_of_range(message), index_(index), count_(count) {}

// Out of line so that the type has one home that plug-in modules share with the host.
ArgumentOutOfRange::~ArgumentOutOfRange() = default;

size_t FunctionDesc::RequiredCount() const {
  size_t n = 0;
  while (n < params.size() && !params[n].keywordDefault) ++n;
  return n;
}

void CompleteArguments(const FunctionDesc& desc, FPArgs& args) {
  const size_t given = args.size();
  if (given > desc.params.size()) {
    throw std::invalid_argument(desc.name + " takes " + std::to_string(desc.params.size()) +
                                " arguments, " + std::to_string(given) + " given");
  }
  for (size_t i = given; i < desc.params.size(); ++i) {
    if (!desc.params[i].keywordDefault) throw ArgumentOutOfRange(i, given);
    args.push_back(*desc.params[i].keywordDefault);
  }
  for (size_t i = 0; i < given; ++i) {
    const FPParam& p = desc.params[i];
    Value& v = args[i];
    if (p.type == FPType::Float && v.Type() == FPType::Int) v = Value(float(v.AsInt()));
    if (v.Type() != p.type) {
      throw std::invalid_argument(desc.name + ": argument " + std::to_string(i + 1) + " '" + p.name +
                                  "' must be " + TypeName(p.type) + ", not " + TypeName(v.Type()));
    }
  }
}

FPInterface::FPInterface(InterfaceId id, std::string internalName, uint32_t flags, ClassDesc* owner,
                         std::vector<FunctionDesc> functions)
    : id_(id), name_(std::move(internalName)), flags_(flags), owner_(owner), functions_(std::move(functions)) {}

FPInterface::~FPInterface() { UnregisterInterface(this); }

const FunctionDesc* FPInterface::FindFunction(uint32_t functionId) const {
  for (const FunctionDesc& f : functions_)
    if (f.id == functionId) return &f;
  return nullptr;
}

const FunctionDesc* FPInterface::FindFunction(std::string_view name) const {
  for (const FunctionDesc& f : functions_)
    if (f.name == name) return &f;
  return nullptr;
}

Value FPInterface::Invoke(uint32_t functionId, FPArgs args) {
  const FunctionDesc* desc = FindFunction(functionId);
  if (!desc) return Value::Unhandled();
  CompleteArguments(*desc, args);
  return Dispatch(functionId, args);
}

std::string CheckFunction(const FunctionDesc& f) {
  if (f.name.empty()) return "function id " + std::to_string(f.id) + " has no name";
  bool keywords = false;
  for (size_t k = 0; k < f.params.size(); ++k) {
    const FPParam& p = f.params[k];
    const std::string arg = f.name + ": argument '" + p.name + "'";
    if (p.name.empty()) return f.name + ": argument " + std::to_string(k + 1) + " has no name";
    if (p.type == FPType::Void) return arg + " has no type";
    for (size_t m = 0; m < k; ++m)
      if (f.params[m].name == p.name) return arg + " is named twice";
    if (p.keywordDefault) {
      keywords = true;
      if (p.keywordDefault->Type() != p.type)
        return arg + " has a default of type " + TypeName(p.keywordDefault->Type()) + ", not " + TypeName(p.type);
    } else if (keywords) {
      return arg + " has no default but follows a keyword argument";
    }
  }
  return {};
}

std::string FPInterface::CheckDescription() const {
  if (name_.empty()) return "the interface has no name";
  for (size_t i = 0; i < functions_.size(); ++i) {
    const FunctionDesc& f = functions_[i];
    if (std::string problem = CheckFunction(f); !problem.empty()) return problem;
    for (size_t j = 0; j < i; ++j) {
      if (functions_[j].id == f.id) return f.name + ": function id " + std::to_string(f.id) + " is used twice";
      if (functions_[j].name == f.name) return f.name + ": the name is used twice";
    }
  }
  return {};
}

// ---- Registry ----------------------------------------------------------------------------------

namespace {

struct InterfaceRegistry {
  std::mutex mutex;
  std::vector<FPInterface*> interfaces;
};

// Never destroyed, so that interfaces of modules and of the program itself may leave it from
// their static destructors in any order.
InterfaceRegistry& Registry() {
  static auto* registry = new InterfaceRegistry;
  return *registry;
}

}  // namespace

bool RegisterInterface(FPInterface* iface, std::string* message) {
  if (!iface) return Fail(message, "no interface given");
  if (std::string problem = iface->CheckDescription(); !problem.empty())
    return Fail(message, "interface " + iface->InternalName() + " is not valid: " + problem);
  InterfaceRegistry& r = Registry();
  std::lock_guard lock(r.mutex);
  if (std::find(r.interfaces.begin(), r.interfaces.end(), iface) != r.interfaces.end()) return true;
  for (const FPInterface* other : r.interfaces) {
    if (other->Id() == iface->Id())
      return Fail(message, "interface " + iface->InternalName() + " has the id " + ToString(iface->Id()) +
                  " of the registered interface " + other->InternalName());
    if (other->InternalName() == iface->InternalName())
      return Fail(message, "an interface named " + iface->InternalName() + " is already registered");
  }
  r.interfaces.push_back(iface);
  return true;
}

void UnregisterInterface(const FPInterface* iface) {
  InterfaceRegistry& r = Registry();
  std::lock_guard lock(r.mutex);
  std::erase(r.interfaces, iface);
}

FPInterface* FindInterface(InterfaceId id) {
  InterfaceRegistry& r = Registry();
  std::lock_guard lock(r.mutex);
  for (FPInterface* i : r.interfaces)
    if (i->Id() == id) return i;
  return nullptr;
}

FPInterface* FindInterface(std::string_view internalName) {
  InterfaceRegistry& r = Registry();
  std::lock_guard lock(r.mutex);
  for (FPInterface* i : r.interfaces)
    if (i->InternalName() == internalName) return i;
  return nullptr;
}

std::vector<FPInterface*> Interfaces() {
  InterfaceRegistry& r = Registry();
  std::lock_guard lock(r.mutex);
  return r.interfaces;
}

}  // namespace host
