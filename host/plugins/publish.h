// Function publishing: a plug-in describes an interface (an id pair, an internal name, functions
// by id with named, typed arguments and keyword defaults) and implements one dispatch entry. The
// host keeps every published interface in one registry; the script engine exposes each of them.
//
//   class ShapeOps : public host::FPInterface {
//    public:
//     ShapeOps() : FPInterface({0x1234abcd, 0x5678ef01}, "ShapeOps", host::kFPCoreInterface, nullptr,
//                              {{0, "grow", FPType::Bool, {{"shape", FPType::Node},
//                                                             {"factor", FPType::Float, Value(2.0f)}}}}) {
//       host::RegisterInterface(this);
//     }
//    protected:
//     host::Value Dispatch(uint32_t id, const host::FPArgs& args) override;
//   };
//   static ShapeOps gShapeOps;  // registered when the module is loaded
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/core/math.h"

namespace host {

class Node;  // a scene node; the scene layer defines it
class ClassDesc;

struct InterfaceId {
  uint32_t a = 0, b = 0;
  friend bool operator==(const InterfaceId&, const InterfaceId&) = default;
};
std::string ToString(InterfaceId id);  // "(0x5a3c19e7, 0x2b8d40f1)"

// Flag of an interface that stands alone (not a mix-in of one class).
inline constexpr uint32_t kFPCoreInterface = 4;

// The types an argument or a result can have. Void only as a result.
enum class FPType : uint8_t { Void, Bool, Int, Float, String, Node, Point3 };
const char* TypeName(FPType type);

// An argument or a result. Besides the values of each type there is the "unhandled" result of a
// dispatch that does not know a function id.
class Value {
 public:
  Value() = default;  // Void
  Value(bool v) : v_(v) {}
  Value(int32_t v) : v_(v) {}
  Value(float v) : v_(v) {}
  Value(std::string v) : v_(std::move(v)) {}
  Value(const char* v) : v_(std::string(v ? v : "")) {}
  Value(Node* v) : v_(v) {}
  Value(const Point3& v) : v_(v) {}
  static Value Unhandled() { Value r; r.v_ = UnhandledTag{}; return r; }

  FPType Type() const;
  bool IsUnhandled() const { return std::holds_alternative<UnhandledTag>(v_); }

  // Each throws std::bad_variant_access for a value of another type.
  bool AsBool() const { return std::get<bool>(v_); }
  int32_t AsInt() const { return std::get<int32_t>(v_); }
  float AsFloat() const { return std::get<float>(v_); }
  const std::string& AsString() const { return std::get<std::string>(v_); }
  Node* AsNode() const { return std::get<Node*>(v_); }
  const Point3& AsPoint3() const { return std::get<Point3>(v_); }

  friend bool operator==(const Value&, const Value&) = default;

 private:
  struct UnhandledTag {
    friend bool operator==(UnhandledTag, UnhandledTag) { return true; }
  };
  std::variant<std::monostate, bool, int32_t, float, std::string, Node*, Point3, UnhandledTag> v_;
};

// The host's out-of-range exception: an argument list was read past its end, or a call passed
// fewer arguments than its function needs. It is the one exception a published function may let
// reach the script engine, which turns it into a script error.
class ArgumentOutOfRange : public std::out_of_range {
 public:
  static constexpr const char* kDefaultMessage = "Argument index out of bounds, passed into host::FPArgs::operator[]";
  ArgumentOutOfRange(size_t index, size_t count, const std::string& message = kDefaultMessage);
  ~ArgumentOutOfRange() override;
  // The position asked for and the number of arguments there were.
  size_t Index() const { return index_; }
  size_t Count() const { return count_; }

 private:
  size_t index_, count_;
};

// The argument list a dispatch entry receives; reading past its end throws ArgumentOutOfRange.
class FPArgs {
 public:
  FPArgs() = default;
  FPArgs(std::initializer_list<Value> values) : values_(values) {}
  const Value& operator[](size_t i) const {
    if (i >= values_.size()) throw ArgumentOutOfRange(i, values_.size());
    return values_[i];
  }
  Value& operator[](size_t i) {
    if (i >= values_.size()) throw ArgumentOutOfRange(i, values_.size());
    return values_[i];
  }
  size_t size() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  void push_back(Value v) { values_.push_back(std::move(v)); }
  void resize(size_t n) { values_.resize(n); }
  auto begin() const { return values_.begin(); }
  auto end() const { return values_.end(); }

 private:
  std::vector<Value> values_;
};

// One argument. A default makes it a keyword argument that callers may leave out; keyword
// arguments come after all the others.
struct FPParam {
  FPParam(std::string name_, FPType type_) : name(std::move(name_)), type(type_) {}
  FPParam(std::string name_, FPType type_, Value keywordDefault_)
      : name(std::move(name_)), type(type_), keywordDefault(std::move(keywordDefault_)) {}

  std::string name;
  FPType type;
  std::optional<Value> keywordDefault;
};

struct FunctionDesc {
  uint32_t id = 0;
  std::string name;
  FPType result = FPType::Void;
  std::vector<FPParam> params;

  // The number of arguments without a default.
  size_t RequiredCount() const;
};

// Empty when the description is sound, else what is wrong with it: no name, an argument without
// a name or a type, a name used twice, a keyword argument before a plain one, a default of the
// wrong type.
std::string CheckFunction(const FunctionDesc& desc);

// Checks what a caller passed against the description and completes it: keyword defaults are
// appended for the arguments left out and an Int passed for a Float argument becomes a Float.
// Throws ArgumentOutOfRange when a required argument is missing, std::invalid_argument for extra
// arguments or one of the wrong type.
void CompleteArguments(const FunctionDesc& desc, FPArgs& args);

// A published interface. The host calls Invoke; the plug-in implements Dispatch.
class FPInterface {
 public:
  FPInterface(InterfaceId id, std::string internalName, uint32_t flags, ClassDesc* owner,
              std::vector<FunctionDesc> functions);
  virtual ~FPInterface();  // also leaves the registry
  FPInterface(const FPInterface&) = delete;
  FPInterface& operator=(const FPInterface&) = delete;

  InterfaceId Id() const { return id_; }
  const std::string& InternalName() const { return name_; }
  uint32_t Flags() const { return flags_; }
  ClassDesc* Owner() const { return owner_; }  // null for a core interface
  const std::vector<FunctionDesc>& Functions() const { return functions_; }
  const FunctionDesc* FindFunction(uint32_t functionId) const;
  const FunctionDesc* FindFunction(std::string_view name) const;

  // The one entry callers use: completes the arguments (CompleteArguments, which may throw) and
  // dispatches. An id the interface does not describe returns Value::Unhandled().
  Value Invoke(uint32_t functionId, FPArgs args);

  // Empty when the description is sound, else what is wrong with it (CheckFunction for each
  // function, and no function id or name used twice).
  std::string CheckDescription() const;

 protected:
  // Receives complete arguments of the described types. Returns Value::Unhandled() for an id it
  // does not handle.
  virtual Value Dispatch(uint32_t functionId, const FPArgs& args) = 0;

 private:
  InterfaceId id_;
  std::string name_;
  uint32_t flags_;
  ClassDesc* owner_;
  std::vector<FunctionDesc> functions_;
};

// The registry of published interfaces. It does not own them: they are static objects of their
// modules, registered from static initialisation, and leave it when they are destroyed.
// Refuses an unsound description and an id or internal name already registered (message says why).
bool RegisterInterface(FPInterface* iface, std::string* message = nullptr);
void UnregisterInterface(const FPInterface* iface);
FPInterface* FindInterface(InterfaceId id);
FPInterface* FindInterface(std::string_view internalName);
std::vector<FPInterface*> Interfaces();

}  // namespace host
