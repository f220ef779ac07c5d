#include "database/utilities/utilities.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "database/utilities/atomic_number.h"
#include "database/utilities/logging.h"
#include "database/utilities/string_utilities.h"

namespace dz::database {
namespace {

std::string joined(const std::vector<std::string>& pieces) {
  std::string text;
  for (const std::string& piece : pieces) text += piece;
  return text;
}

// UTF-16 code units of UTF-8 text: four-byte sequences count two, other characters one.
size_t utf16Length(std::string_view text) {
  size_t units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

TEST(UtilitiesTest, ErrorsForStatuses) {
  EXPECT_EQ(errorForStatus("ok"), nullptr);
  struct Case {
    const char* status;
    int64_t code;
    const char* description;
  };
  for (const Case& c :
       {Case{"permission_denied", 1, "Permission Denied"},
        Case{"unavailable", 2, "Service is unavailable"},
        Case{"write_canceled", 3, "Write cancelled by user"}, Case{"maxretry", 9999, "maxretry"},
        Case{"disconnect", 9999, "disconnect"}, Case{"", 9999, ""}}) {
    ErrorPtr error = errorForStatus(c.status);
    ASSERT_NE(error, nullptr) << c.status;
    EXPECT_EQ(error->domain(), "com.dezuvura");
    EXPECT_EQ(error->code(), c.code) << c.status;
    if (*c.description) {
      EXPECT_EQ(error->localizedDescription(), c.description);
    }
  }
  ErrorPtr withReason = errorForStatus("permission_denied", "Rules said no");
  EXPECT_EQ(withReason->code(), 1);
  EXPECT_EQ(withReason->localizedDescription(), "Rules said no");
  EXPECT_EQ(errorForStatus("ok", "ignored"), nullptr);
}

TEST(UtilitiesTest, IntForString) {
  EXPECT_EQ(intForString("0"), 0);
  EXPECT_EQ(intForString("42"), 42);
  EXPECT_EQ(intForString("007"), 7);
  EXPECT_EQ(intForString("999999999999999999"), 999999999999999999);  // 18 digits
  EXPECT_EQ(intForString("9223372036854775807"), INT64_MAX);          // 19 digits, fits
  EXPECT_EQ(intForString("9223372036854775808"), std::nullopt);       // one past
  EXPECT_EQ(intForString("99999999999999999999"), std::nullopt);      // 20 digits
  EXPECT_EQ(intForString("00000000000000000000000001"), 1);           // zeros do not overflow
  for (const char* text : {
           "", "-1", "+1", " 1", "1 ", "1.0", "1e3", "0x1", "abc",
           "\xD9\xA1",     // ARABIC-INDIC DIGIT ONE
           "\xEF\xBC\x91"  // FULLWIDTH DIGIT ONE
       }) {
    EXPECT_EQ(intForString(text), std::nullopt) << text;
  }
}

TEST(UtilitiesTest, SplitStringKeepsShortTextWhole) {
  EXPECT_EQ(splitString("", 4), std::vector<std::string>{""});
  EXPECT_EQ(splitString("abcd", 4), std::vector<std::string>{"abcd"});
  EXPECT_EQ(splitString("abcde", 4), (std::vector<std::string>{"abcd", "e"}));
  EXPECT_EQ(splitString("abcdefgh", 4), (std::vector<std::string>{"abcd", "efgh"}));
}

TEST(UtilitiesTest, SplitStringCountsUtf16UnitsAndNeverCutsACharacter) {
  // "é" is one unit in two bytes; "€" one unit in three; U+1F600 two units in four bytes.
  EXPECT_EQ(splitString("\xC3\xA9\xC3\xA9\xC3\xA9", 2),
            (std::vector<std::string>{"\xC3\xA9\xC3\xA9", "\xC3\xA9"}));
  // The cut after three units would fall inside the pair: that piece stops one unit short.
  EXPECT_EQ(splitString("abc\xF0\x9F\x98\x80"
                        "d",
                        4),
            (std::vector<std::string>{"abc",
                                      "\xF0\x9F\x98\x80"
                                      "d"}));
  // A piece always holds a character, even when it alone is longer than the maximum.
  EXPECT_EQ(splitString("\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 1),
            (std::vector<std::string>{"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"}));
  EXPECT_EQ(splitString("ab", 0), (std::vector<std::string>{"a", "b"}));

  // A long mix: every piece is whole characters within the limit, together the input.
  std::string text;
  const char* characters[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  for (int i = 0; i < 5000; ++i) {
    text += characters[(i * 7 + i / 3) % 4];
    // ASCII runs of every length, which are cut a run at a time.
    if (i % 11 == 0) text.append(i % 41, 'x');
  }
  for (size_t maxSize : {2u, 3u, 7u, 16u, 1000u}) {
    std::vector<std::string> pieces = splitString(text, maxSize);
    EXPECT_EQ(joined(pieces), text);
    for (size_t i = 0; i < pieces.size(); ++i) {
      size_t units = utf16Length(pieces[i]);
      EXPECT_LE(units, maxSize);
      if (i + 1 < pieces.size()) {
        EXPECT_GE(units, maxSize - 1);
      }
      ASSERT_FALSE(pieces[i].empty());
      EXPECT_NE(static_cast<unsigned char>(pieces[i][0]) & 0xC0, 0x80u) << "starts mid-character";
    }
  }
}

TEST(UtilitiesTest, SentinelNames) {
  EXPECT_EQ(minName(), "[MIN_NAME]");
  EXPECT_EQ(maxName(), "[MAX_NAME]");
  EXPECT_EQ(&minName(), &minName());
}

TEST(UtilitiesTest, RandomDoubleStaysInTheUnitInterval) {
  std::set<double> seen;
  for (int i = 0; i < 1000; ++i) {
    double r = randomDouble();
    EXPECT_GE(r, 0.0);
    EXPECT_LT(r, 1.0);
    seen.insert(r);
  }
  EXPECT_GT(seen.size(), 990u);
}

TEST(UtilitiesTest, CountersHandOutEveryValueOnce) {
  AtomicNumber number;
  EXPECT_EQ(number.getAndIncrement(), 1u);
  EXPECT_EQ(number.getAndIncrement(), 2u);

  uint64_t first = LUIDGenerator();
  EXPECT_EQ(LUIDGenerator(), first + 1);

  std::vector<std::thread> threads;
  std::vector<std::vector<uint64_t>> drawn(4);
  for (auto& mine : drawn) {
    threads.emplace_back([&mine] {
      for (int i = 0; i < 1000; ++i) mine.push_back(LUIDGenerator());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<uint64_t> all;
  for (const auto& mine : drawn) all.insert(mine.begin(), mine.end());
  EXPECT_EQ(all.size(), 4000u);
  EXPECT_EQ(*all.begin(), first + 2);
  EXPECT_EQ(*all.rbegin(), first + 4001);
}

TEST(UtilitiesTest, LogLevelGate) {
  EXPECT_TRUE(logLevelEnabled(kLogLevelInfo));
  EXPECT_TRUE(logLevelEnabled(kLogLevelError));
  EXPECT_FALSE(logLevelEnabled(kLogLevelDebug));
  setLoggingEnabled(true);
  EXPECT_TRUE(logLevelEnabled(kLogLevelDebug));
  setLoggingEnabled(false);
  EXPECT_FALSE(logLevelEnabled(kLogLevelDebug));
  EXPECT_TRUE(logLevelEnabled(kLogLevelWarning));
}

TEST(StringUtilitiesTest, SanitizedForUserAgent) {
  EXPECT_EQ(sanitizedForUserAgent("iPhone/7_1"), "iPhone|7|1");
  EXPECT_EQ(sanitizedForUserAgent("com.example.app"), "com.example.app");
  EXPECT_EQ(sanitizedForUserAgent(""), "");
}

TEST(StringUtilitiesTest, UrlEncodedKeepsOnlyTheUnreservedSet) {
  EXPECT_EQ(urlEncoded("azAZ09-_~"), "azAZ09-_~");
  EXPECT_EQ(urlEncoded("a b"), "a%20b");
  EXPECT_EQ(urlEncoded("/.?&=%+"), "%2F%2E%3F%26%3D%25%2B");
  EXPECT_EQ(urlEncoded("\xC3\xA9"), "%C3%A9");
  EXPECT_EQ(urlEncoded(std::string("\0", 1)), "%00");
}

}  // namespace
}  // namespace dz::database
