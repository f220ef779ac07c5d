#include "database/snapshot/validation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/exception.h"

namespace dz::database {
namespace {

// The name and reason of what `check` throws; empty when it throws nothing.
template <class Check>
std::pair<std::string, std::string> thrown(Check check) {
  try {
    check();
  } catch (const dz::Exception& e) {
    return {e.name(), e.reason()};
  }
  return {};
}

TEST(ValidationTest, WritablePathRefusesInfo) {
  auto [name, reason] =
      thrown([] { Validation::validateWritablePath("setValue:", Path(".info/connected")); });
  EXPECT_EQ(name, "WritablePathValidation");
  EXPECT_EQ(reason, "(setValue:) failed to path /.info/connected: Can't modify data under .info");
  EXPECT_NO_THROW(Validation::validateWritablePath("setValue:", Path("a/.info")));
  EXPECT_NO_THROW(Validation::validateWritablePath("setValue:", Path()));
  EXPECT_NO_THROW(Validation::validateWritablePath("setValue:", Path(".infox")));
}

TEST(ValidationTest, PathStrings) {
  for (const char* bad : {"", "a.b", "a#", "$x", "[", "a]", "a/b.c"}) {
    auto [name, reason] = thrown([bad] { Validation::validatePathString("child:", bad); });
    EXPECT_EQ(name, "InvalidPathValidation") << bad;
    EXPECT_EQ(reason, "(child:) Must be a non-empty string and not contain '.' '#' '$' '[' or ']'");
  }
  EXPECT_NO_THROW(Validation::validatePathString("child:", "a/b c/-_"));
  EXPECT_NO_THROW(Validation::validatePathString("child:", "/"));
}

TEST(ValidationTest, RootPathStringsMayStartWithInfo) {
  for (const char* good : {".info", "/.info", "//.info/connected", ".info/serverTimeOffset", "a"}) {
    EXPECT_NO_THROW(Validation::validateRootPathString("child:", good)) << good;
  }
  for (const char* bad : {".infox", "/.infox/a", "a/.info", ".info/.info", ""}) {
    auto [name, reason] = thrown([bad] { Validation::validateRootPathString("child:", bad); });
    EXPECT_EQ(name, "InvalidPathValidation") << bad;
  }
}

TEST(ValidationTest, Keys) {
  for (const char* bad : {"", "a/b", "a.b", "#", "$", "[", "]"}) {
    auto [name, reason] = thrown([bad] { Validation::validateKey("key:", bad); });
    EXPECT_EQ(name, "InvalidKeyValidation") << bad;
    EXPECT_EQ(reason,
              "(key:) Must be a non-empty string and not contain '/' '.' '#' '$' '[' or ']'");
  }
  EXPECT_NO_THROW(Validation::validateKey("key:", "-Mabc_12 \xC3\xA9"));
  EXPECT_TRUE(Validation::isValidKey("a"));
  EXPECT_FALSE(Validation::isValidPathString(""));
}

TEST(ValidationTest, EveryByteInEveryPlaceOfAKey) {
  const std::string_view refused = "[].#$/";
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    const bool valid = refused.find(c) == std::string_view::npos;
    for (std::string key : {std::string(1, c), "ab" + std::string(1, c), std::string(1, c) + "yz",
                            "k" + std::string(1, c) + "k"}) {
      EXPECT_EQ(Validation::isValidKey(key), valid) << byte;
    }
  }
}

TEST(ValidationTest, EventTypes) {
  for (int type = 0; type < 5; ++type) {
    EXPECT_NO_THROW(Validation::validateKnownEventType("observe:", type));
  }
  auto [name, reason] = thrown(
      [] { Validation::validateKnownEventType("observeEventType:withBlock:withCancelBlock:", 5); });
  EXPECT_EQ(name, "KnownEventTypeValidation");
  EXPECT_EQ(reason, "(observeEventType:withBlock:withCancelBlock:) Unknown event type: 5");
  // A negative type is no event either.
  EXPECT_EQ(thrown([] { Validation::validateKnownEventType("x", -1); }).second,
            "(x) Unknown event type: -1");
}

TEST(ValidationTest, PriorityValues) {
  EXPECT_TRUE(Validation::validatePriorityValue(Value()));
  EXPECT_TRUE(Validation::validatePriorityValue(Value("p")));
  EXPECT_TRUE(Validation::validatePriorityValue(Value(3)));
  EXPECT_TRUE(Validation::validatePriorityValue(Value(2.5)));
  EXPECT_TRUE(Validation::validatePriorityValue(Value(Value::Map{{".sv", "timestamp"}})));
  EXPECT_FALSE(Validation::validatePriorityValue(Value(true)));
  EXPECT_FALSE(Validation::validatePriorityValue(Value(std::nan(""))));
  EXPECT_FALSE(Validation::validatePriorityValue(Value(Value::Array{Value(1)})));
  EXPECT_FALSE(Validation::validatePriorityValue(Value(Value::Map{{"a", 1}})));
  EXPECT_FALSE(
      Validation::validatePriorityValue(Value(Value::Map{{".sv", "timestamp"}, {"a", 1}})));
  EXPECT_FALSE(Validation::validatePriorityValue(Value(Value::Map{})));
}

}  // namespace
}  // namespace dz::database
