#include "platform/json_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <boost/json.hpp>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace dz {
namespace {

double parseNumber(const std::string& text) {
  boost::system::error_code ec;
  boost::json::value json = parseJsonExact(text, ec);
  EXPECT_FALSE(ec) << text;
  EXPECT_TRUE(json.is_double()) << text;
  return json.is_double() ? json.as_double() : 0;
}

std::string shortest(double d, std::chars_format format = std::chars_format::general) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, d, format);
  return std::string(buffer, result.ptr);
}

// Any finite double, with a fraction or exponent so that JSON reads it as a double.
std::string asJsonDouble(double d) {
  std::string text = shortest(d);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

TEST(JsonTextTest, KnownMisreadDoubleIsExact) {
  const std::string text = "-1.774571493258161E-296";
  double expected = 0;
  std::from_chars(text.data(), text.data() + text.size(), expected);
  EXPECT_EQ(std::bit_cast<uint64_t>(parseNumber(text)), std::bit_cast<uint64_t>(expected));
  boost::system::error_code ec;
  boost::json::value json = parseJsonExact(R"({"a":[1,)" + text + R"(]})", ec);
  ASSERT_FALSE(ec);
  EXPECT_EQ(std::bit_cast<uint64_t>(json.at("a").at(1).as_double()),
            std::bit_cast<uint64_t>(expected));
}

TEST(JsonTextTest, RandomDoublesRoundTripBitForBit) {
  std::mt19937_64 random(20261207);
  for (int i = 0; i < 200000; ++i) {
    double d = std::bit_cast<double>(random());
    if (!std::isfinite(d)) continue;
    ASSERT_EQ(std::bit_cast<uint64_t>(parseNumber(asJsonDouble(d))), std::bit_cast<uint64_t>(d))
        << asJsonDouble(d);
    std::string scientific = shortest(d, std::chars_format::scientific);
    ASSERT_EQ(std::bit_cast<uint64_t>(parseNumber(scientific)), std::bit_cast<uint64_t>(d))
        << scientific;
  }
}

TEST(JsonTextTest, ExtremesSubnormalsAndSignedZero) {
  using limits = std::numeric_limits<double>;
  for (double d : {limits::max(), -limits::max(), limits::min(), limits::denorm_min(),
                   -limits::denorm_min(), limits::min() - limits::denorm_min(), 0.1, 1e23,
                   9007199254740993.0, 5e-324, 2.2250738585072011e-308}) {
    EXPECT_EQ(std::bit_cast<uint64_t>(parseNumber(asJsonDouble(d))), std::bit_cast<uint64_t>(d))
        << asJsonDouble(d);
  }
  EXPECT_TRUE(std::signbit(parseNumber("-0.0")));
  EXPECT_TRUE(std::signbit(parseNumber("-0e10")));
  EXPECT_EQ(parseNumber("1E2"), 100.0);
  EXPECT_EQ(parseNumber("1e+2"), 100.0);
  EXPECT_EQ(parseNumber("12345678901234567890123"), 1.2345678901234568e22);
  // Past the double range the number is what the parser makes of it.
  EXPECT_EQ(parseNumber("1e400"), boost::json::parse("1e400").as_double());
  EXPECT_EQ(parseNumber("1e-400"), 0.0);
}

TEST(JsonTextTest, NumberTextInPartsIsJoinedAndClearedAfterUse) {
  JsonNumberText number;
  number.append("-1.7745714932");
  number.append("5816");
  EXPECT_EQ(number.take("1E-296", 0.0), -1.774571493258161E-296);
  // The next number starts afresh; an integer the parser took itself leaves nothing behind.
  number.append("12");
  number.clear();
  EXPECT_EQ(number.take("0.25", 0.0), 0.25);
  // Out of range: the parser's own value stands.
  EXPECT_EQ(number.take("1e999", 7.0), 7.0);
}

TEST(JsonTextTest, OtherValuesAndFailuresAsBoostJson) {
  const std::string text =
      R"({"s":"x\u00e9","n":null,"t":true,"i":-5,"u":18446744073709551615,"a":[{},[]]})";
  boost::system::error_code ec;
  EXPECT_EQ(parseJsonExact(text, ec), boost::json::parse(text));
  EXPECT_FALSE(ec);
  for (const char* bad : {"", "{", "[1,]", "1 2", "{\"a\":1}x", "nul", "-"}) {
    parseJsonExact(bad, ec);
    EXPECT_TRUE(ec) << bad;
  }
  boost::json::parse_options shallow;
  shallow.max_depth = 2;
  parseJsonExact("[[1]]", ec, shallow);
  EXPECT_FALSE(ec);
  parseJsonExact("[[[1]]]", ec, shallow);
  EXPECT_TRUE(ec);
}

}  // namespace
}  // namespace dz
