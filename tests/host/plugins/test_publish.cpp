// Function publishing: argument completion with keyword defaults, the out-of-range exception for
// a short argument list, descriptions the registry must refuse, and the class registry.
#include <gtest/gtest.h>

#include <memory>

#include "host/plugins/publish.h"

namespace host {
namespace {

// Records what reached its dispatch entry.
class MathOps : public FPInterface {
 public:
  enum : uint32_t { kAdd = 0, kScale = 1, kLabel = 2, kGhost = 7 };

  explicit MathOps(InterfaceId id = {0x11, 0x22}, std::string name = "MathOps")
      : FPInterface(id, std::move(name), kFPCoreInterface, nullptr,
                    {{kAdd, "add", FPType::Int, {{"a", FPType::Int}, {"b", FPType::Int}}},
                     {kScale, "scale", FPType::Float, {{"x", FPType::Float}, {"factor", FPType::Float, Value(2.0f)}}},
                     {kLabel, "label", FPType::String,
                      {{"name", FPType::String}, {"prefix", FPType::String, Value("<")},
                       {"suffix", FPType::String, Value(">")}}},
                     {kGhost, "ghost", FPType::Int, {}}}) {}

  int calls = 0;
  FPArgs lastArgs;

 protected:
  Value Dispatch(uint32_t id, const FPArgs& args) override {
    ++calls;
    lastArgs = args;
    switch (id) {
      case kAdd: return args[0].AsInt() + args[1].AsInt();
      case kScale: return args[0].AsFloat() * args[1].AsFloat();
      case kLabel: return args[1].AsString() + args[0].AsString() + args[2].AsString();
    }
    return Value::Unhandled();  // kGhost is described but not handled
  }
};

TEST(Publish, KeywordDefaultsFillTheArgumentsLeftOut) {
  MathOps ops;
  EXPECT_EQ(ops.Invoke(MathOps::kAdd, {Value(2), Value(40)}), Value(42));
  EXPECT_EQ(ops.Invoke(MathOps::kScale, {Value(1.5f)}), Value(3.0f));
  EXPECT_EQ(ops.Invoke(MathOps::kScale, {Value(1.5f), Value(4.0f)}), Value(6.0f));
  EXPECT_EQ(ops.Invoke(MathOps::kLabel, {Value("x")}), Value("<x>"));
  EXPECT_EQ(ops.Invoke(MathOps::kLabel, {Value("x"), Value("[")}), Value("[x>"));
  // Dispatch always sees the full list, defaults included.
  ASSERT_EQ(ops.lastArgs.size(), 3u);
  EXPECT_EQ(ops.lastArgs[2], Value(">"));
  // An int where a float is asked for is a float by the time it arrives.
  EXPECT_EQ(ops.Invoke(MathOps::kScale, {Value(3), Value(2)}), Value(6.0f));
  EXPECT_EQ(ops.lastArgs[0].Type(), FPType::Float);
}

TEST(Publish, ShortArgumentListRaisesTheOutOfRangeException) {
  MathOps ops;
  try {
    ops.Invoke(MathOps::kAdd, {Value(1)});
    FAIL() << "no exception";
  } catch (const ArgumentOutOfRange& e) {
    EXPECT_EQ(e.Index(), 1u);  // 'b' is missing
    EXPECT_EQ(e.Count(), 1u);
    EXPECT_NE(std::string(e.what()).find("Argument index out of bounds"), std::string::npos);
  }
  EXPECT_THROW(ops.Invoke(MathOps::kScale, {}), ArgumentOutOfRange);  // 'x' has no default
  EXPECT_EQ(ops.calls, 0) << "the function must not run with a short list";
  // It is the standard out_of_range too, for callers that do not know the host's type.
  EXPECT_THROW(ops.Invoke(MathOps::kAdd, {}), std::out_of_range);
}

TEST(Publish, ReadingPastTheArgumentsThrows) {
  const FPArgs args{Value(1), Value("two")};
  EXPECT_EQ(args[1].AsString(), "two");
  try {
    (void)args[2];
    FAIL() << "no exception";
  } catch (const ArgumentOutOfRange& e) {
    EXPECT_EQ(e.Index(), 2u);
    EXPECT_EQ(e.Count(), 2u);
  }
}

TEST(Publish, WrongTypesAndExtraArgumentsAreRefused) {
  MathOps ops;
  EXPECT_THROW(ops.Invoke(MathOps::kAdd, {Value(1), Value("2")}), std::invalid_argument);
  EXPECT_THROW(ops.Invoke(MathOps::kAdd, {Value(1), Value(2.0f)}), std::invalid_argument);  // no silent rounding
  EXPECT_THROW(ops.Invoke(MathOps::kAdd, {Value(1), Value(2), Value(3)}), std::invalid_argument);
  EXPECT_EQ(ops.calls, 0);
}

TEST(Publish, UnknownAndUnhandledIdsReturnUnhandled) {
  MathOps ops;
  EXPECT_TRUE(ops.Invoke(99, {}).IsUnhandled());
  EXPECT_EQ(ops.calls, 0);
  EXPECT_TRUE(ops.Invoke(MathOps::kGhost, {}).IsUnhandled());
  EXPECT_EQ(ops.calls, 1);
}

TEST(Publish, UnsoundDescriptionsAreNamed) {
  const FPParam x{"x", FPType::Int};
  const FPParam k{"k", FPType::Int, Value(1)};
  EXPECT_EQ(CheckFunction({0, "f", FPType::Int, {x, k}}), "");
  EXPECT_NE(CheckFunction({0, "f", FPType::Int, {k, x}}).find("follows a keyword"), std::string::npos);
  EXPECT_NE(CheckFunction({0, "f", FPType::Int, {{"k", FPType::Int, Value("one")}}}).find("default of type string"),
            std::string::npos);
  EXPECT_NE(CheckFunction({0, "f", FPType::Int, {x, x}}).find("named twice"), std::string::npos);
  EXPECT_NE(CheckFunction({0, "f", FPType::Int, {{"v", FPType::Void}}}).find("no type"), std::string::npos);
  EXPECT_NE(CheckFunction({3, "", FPType::Int, {}}).find("function id 3"), std::string::npos);
}

class Described : public FPInterface {
 public:
  Described(InterfaceId id, std::string name, std::vector<FunctionDesc> functions)
      : FPInterface(id, std::move(name), kFPCoreInterface, nullptr, std::move(functions)) {}

 protected:
  Value Dispatch(uint32_t, const FPArgs&) override { return Value::Unhandled(); }
};

TEST(InterfaceRegistry, FindsByIdAndNameAndRefusesClashes) {
  MathOps ops({0xabc, 0xdef}, "RegistryOps");
  std::string message;
  ASSERT_TRUE(RegisterInterface(&ops, &message)) << message;
  EXPECT_EQ(FindInterface(InterfaceId{0xabc, 0xdef}), &ops);
  EXPECT_EQ(FindInterface("RegistryOps"), &ops);
  EXPECT_EQ(FindInterface(InterfaceId{0xabc, 0xdee}), nullptr);

  MathOps sameId({0xabc, 0xdef}, "OtherName");
  EXPECT_FALSE(RegisterInterface(&sameId, &message));
  EXPECT_NE(message.find("RegistryOps"), std::string::npos) << message;
  MathOps sameName({0x1, 0x2}, "RegistryOps");
  EXPECT_FALSE(RegisterInterface(&sameName, &message));
  EXPECT_EQ(FindInterface("RegistryOps"), &ops);

  Described twiceId({0x5, 0x6}, "TwiceId", {{1, "a", FPType::Int, {}}, {1, "b", FPType::Int, {}}});
  EXPECT_FALSE(RegisterInterface(&twiceId, &message));
  EXPECT_NE(message.find("used twice"), std::string::npos) << message;
  EXPECT_EQ(FindInterface("TwiceId"), nullptr);
}

TEST(InterfaceRegistry, ADestroyedInterfaceLeavesTheRegistry) {
  {
    auto ops = std::make_unique<MathOps>(InterfaceId{0x77, 0x88}, "ShortLived");
    ASSERT_TRUE(RegisterInterface(ops.get()));
    EXPECT_NE(FindInterface("ShortLived"), nullptr);
  }
  EXPECT_EQ(FindInterface("ShortLived"), nullptr);
  EXPECT_EQ(FindInterface(InterfaceId{0x77, 0x88}), nullptr);
}

}  // namespace
}  // namespace host
