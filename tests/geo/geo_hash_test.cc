#include "geo/geo_hash.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "geo/base32_utils.h"
#include "platform/exception.h"

namespace dz::geo {
namespace {

std::string encode(double latitude, double longitude, unsigned precision) {
  return GeoHash({latitude, longitude}, precision).geoHashValue();
}

std::string reasonOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), kInvalidArgumentException);
    return e.reason();
  }
  ADD_FAILURE() << "no exception";
  return {};
}

TEST(GeoHashTest, EncodesKnownPositions) {
  EXPECT_EQ(encode(0, 0, 1), "7");
  EXPECT_EQ(encode(0, 0, 10), "7zzzzzzzzz");
  EXPECT_EQ(encode(90, 180, 3), "zzz");
  EXPECT_EQ(encode(-90, -180, 3), "000");
  EXPECT_EQ(GeoHash({37.7853889, -122.4056973}).geoHashValue(), "9q8yywdgue");
  EXPECT_EQ(encode(12.5, 45.25, 22).size(), 22u);
}

TEST(GeoHashTest, RefusesBadPrecisionAndCoordinates) {
  EXPECT_EQ(reasonOf([] { encode(0, 0, 0); }), "Precision must be larger than 0!");
  EXPECT_EQ(reasonOf([] { encode(0, 0, 23); }), "Precision must be less than 23!");
  EXPECT_EQ(reasonOf([] { encode(91, 0, 5); }), "Not a valid geo location: [91.000000,0.000000]");
  EXPECT_EQ(reasonOf([] { encode(0, std::nan(""), 5); }),
            "Not a valid geo location: [0.000000,nan]");
}

TEST(GeoHashTest, AdoptsOnlyAlphabetStrings) {
  EXPECT_EQ(GeoHash::fromString("0").geoHashValue(), "0");
  EXPECT_EQ(GeoHash::fromString("9q8yywdgue9q8yywdgue9q8yy").geoHashValue().size(), 25u);
  for (const char* bad : {"", "9qa", "9qi", "9ql", "9qo", "9Q8", "9q."}) {
    EXPECT_FALSE(GeoHash::isValidGeoHash(bad)) << bad;
  }
  EXPECT_EQ(reasonOf([] { GeoHash::fromString("abc"); }), "Not a valid geo hash: abc");
}

TEST(GeoHashTest, EqualityAndHashFollowTheString) {
  const GeoHash a({10, 20}), b({10, 20});
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::hash<GeoHash>()(a), std::hash<GeoHash>()(b));
  EXPECT_NE(a, GeoHash({10, 20}, 9));
  EXPECT_EQ(a.description(), "GSGeoHash: " + a.geoHashValue());
}

TEST(GeoHashTest, Base32Alphabet) {
  EXPECT_EQ(Base32Utils::base32CharacterToValue('z'), 31u);
  EXPECT_EQ(Base32Utils::valueToBase32Character(10), 'b');
  EXPECT_EQ(reasonOf([] { Base32Utils::valueToBase32Character(32); }),
            "Not a valid base32 value: 32");
  EXPECT_EQ(reasonOf([] { Base32Utils::base32CharacterToValue('a'); }),
            "Not a valid base32 character: a");
}

}  // namespace
}  // namespace dz::geo
