#include "platform/user_defaults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <thread>

#include "platform/file_manager.h"
#include "tests/support/sandbox.h"

namespace dz::platform {
namespace {

class UserDefaultsTest : public ::testing::Test {
 protected:
  std::filesystem::path file() const { return sandbox_.root() / "prefs" / "test.json"; }
  void writeFile(std::string_view text) {
    std::filesystem::create_directories(file().parent_path());
    std::ofstream(file(), std::ios::binary) << text;
  }
  dz::testing::ScopedSandbox sandbox_;
};

TEST_F(UserDefaultsTest, SettingsSurviveARestartWithoutSynchronize) {
  {
    auto defaults = UserDefaults::create(file());
    defaults->setBool(true, "alreadyInstalled");
    defaults->setString("s-usc1c-nss-201.example", "dezuvura:host:db.example");
    defaults->setInteger(-9007199254740993, "count");
    defaults->setDouble(2.5, "ratio");
    defaults->setObject(Value(Value::Map{{"a", Value(Value::Array{1, "two"})}}), "nested");
    defaults->setData(std::string("\0\xff\x01raw", 6), "blob");
    defaults->setString("gone", "removed");
    defaults->removeObjectForKey("removed");
  }
  auto reopened = UserDefaults::create(file());
  EXPECT_TRUE(reopened->boolForKey("alreadyInstalled"));
  EXPECT_EQ(reopened->stringForKey("dezuvura:host:db.example"), "s-usc1c-nss-201.example");
  EXPECT_EQ(reopened->integerForKey("count"), -9007199254740993);
  EXPECT_EQ(reopened->doubleForKey("ratio"), 2.5);
  EXPECT_EQ(reopened->objectForKey("nested"),
            Value(Value::Map{{"a", Value(Value::Array{1, "two"})}}));
  EXPECT_EQ(reopened->dataForKey("blob"), std::string("\0\xff\x01raw", 6));
  EXPECT_FALSE(reopened->objectForKey("removed"));
  EXPECT_TRUE(reopened->synchronize());
}

TEST_F(UserDefaultsTest, DoublesSurviveARestartExactly) {
  // Read by a plain Boost.JSON parse, this one comes back a unit in the last place off.
  const double stored = -1.774571493258161E-296;
  UserDefaults::create(file())->setDouble(stored, "tiny");
  EXPECT_EQ(UserDefaults::create(file())->doubleForKey("tiny"), stored);
}

TEST_F(UserDefaultsTest, MissingKeysAndOtherTypesReadAsEmpty) {
  auto defaults = UserDefaults::create(file());
  defaults->setString("text", "s");
  defaults->setData("bytes", "d");
  defaults->setDouble(1e300, "huge");
  EXPECT_FALSE(defaults->boolForKey("missing"));
  EXPECT_EQ(defaults->integerForKey("s"), 0);
  EXPECT_FALSE(defaults->dataForKey("s"));
  EXPECT_FALSE(defaults->stringForKey("d"));
  EXPECT_EQ(defaults->integerForKey("huge"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(defaults->doubleForKey("missing"), 0.0);
  defaults->setString("now text", "d");  // a data key set again as text is text
  EXPECT_EQ(defaults->stringForKey("d"), "now text");
  EXPECT_FALSE(defaults->dataForKey("d"));
}

TEST_F(UserDefaultsTest, TextThatIsNotUtf8SurvivesARestart) {
  const std::string odd = "host\xc3(\xff";
  UserDefaults::create(file())->setString(odd, "key\xfe");
  EXPECT_EQ(UserDefaults::create(file())->stringForKey("key\xfe"), odd);
}

TEST_F(UserDefaultsTest, NonFiniteNumbersAreRefusedSoTheFileStaysReadable) {
  {
    auto defaults = UserDefaults::create(file());
    defaults->setInteger(7, "kept");
    defaults->setDouble(std::nan(""), "nan");
    defaults->setObject(Value(Value::Array{std::numeric_limits<double>::infinity()}), "inf");
    EXPECT_FALSE(defaults->objectForKey("nan"));
    EXPECT_FALSE(defaults->objectForKey("inf"));
  }
  EXPECT_EQ(UserDefaults::create(file())->integerForKey("kept"), 7);
}

TEST_F(UserDefaultsTest, ValuesNestedTooDeeplyToReadBackAreRefusedSoTheFileStaysReadable) {
  auto nested = [](int depth) {
    Value value(1);
    for (int i = 0; i < depth; ++i) value = Value(Value::Array{value});
    return value;
  };
  {
    auto defaults = UserDefaults::create(file());
    defaults->setInteger(7, "kept");
    defaults->setObject(nested(32), "deepest kept");
    defaults->setObject(nested(100), "too deep");
    EXPECT_FALSE(defaults->objectForKey("too deep"));
  }
  auto reopened = UserDefaults::create(file());
  EXPECT_EQ(reopened->integerForKey("kept"), 7);
  EXPECT_EQ(reopened->objectForKey("deepest kept"), nested(32));
}

TEST_F(UserDefaultsTest, CorruptFileIsSetAsideAndReadAsEmpty) {
  for (std::string_view corrupt :
       {std::string_view("{\"values\": {\"a\": 1"), std::string_view("[1]"),
        std::string_view("{\"values\": 5}"), std::string_view("")}) {
    writeFile(corrupt);
    auto defaults = UserDefaults::create(file());
    EXPECT_FALSE(defaults->objectForKey("a")) << corrupt;
    std::filesystem::path aside = file();
    aside += ".corrupt";
    EXPECT_TRUE(std::filesystem::exists(aside)) << corrupt;
    defaults->setInteger(1, "a");
    EXPECT_EQ(UserDefaults::create(file())->integerForKey("a"), 1) << corrupt;
  }
}

TEST_F(UserDefaultsTest, UndecodableDataEntryIsDroppedAndTheRestKept) {
  writeFile(R"({"values": {"n": 4}, "data": {"bad": "***", "good": "aGk="}})");
  auto defaults = UserDefaults::create(file());
  EXPECT_EQ(defaults->integerForKey("n"), 4);
  EXPECT_FALSE(defaults->dataForKey("bad"));
  EXPECT_EQ(defaults->dataForKey("good"), "hi");
}

TEST_F(UserDefaultsTest, UnwritableFileReportsFailureAndSynchronizeRetries) {
  std::filesystem::create_directories(file());  // a folder where the file should go
  auto defaults = UserDefaults::create(file());
  defaults->setInteger(1, "a");
  EXPECT_EQ(defaults->integerForKey("a"), 1);  // kept in memory
  EXPECT_FALSE(defaults->synchronize());
  std::filesystem::remove(file());
  EXPECT_TRUE(defaults->synchronize());
  EXPECT_EQ(UserDefaults::create(file())->integerForKey("a"), 1);
}

TEST_F(UserDefaultsTest, AFileThatCannotBeReadIsNeverWrittenOver) {
  std::filesystem::create_directories(file());  // stands for a file that cannot be read now
  auto defaults = UserDefaults::create(file());
  defaults->setInteger(1, "changed");
  defaults->setString("gone", "removed");
  defaults->removeObjectForKey("removed");
  EXPECT_FALSE(defaults->synchronize());
  // The file can be read again: what it held is kept, under the changes made meanwhile.
  std::filesystem::remove(file());
  writeFile(R"({"values": {"kept": 5, "changed": 0, "removed": "old"}})");
  EXPECT_TRUE(defaults->synchronize());
  EXPECT_EQ(defaults->integerForKey("kept"), 5);
  auto reopened = UserDefaults::create(file());
  EXPECT_EQ(reopened->integerForKey("kept"), 5);
  EXPECT_EQ(reopened->integerForKey("changed"), 1);
  EXPECT_FALSE(reopened->objectForKey("removed"));
}

TEST_F(UserDefaultsTest, ConcurrentWritersAllLand) {
  auto defaults = UserDefaults::create(file());
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) defaults->setInteger(i, "k" + std::to_string(t * 100 + i));
    });
  }
  for (auto& writer : writers) writer.join();
  auto reopened = UserDefaults::create(file());
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 25; ++i) {
      EXPECT_EQ(reopened->integerForKey("k" + std::to_string(t * 100 + i)), i);
    }
  }
}

TEST_F(UserDefaultsTest, StandardStoreLivesInTheSandboxAndFollowsIt) {
  auto standard = UserDefaults::standard();
  EXPECT_EQ(standard, UserDefaults::standard());
  EXPECT_EQ(standard->file(),
            FileManager::applicationSupportDirectory() / "Preferences" / "com.dezuvura.app.json");
  standard->setBool(true, "flag");
  {
    dz::testing::ScopedSandbox other;
    auto inOther = UserDefaults::standard();
    EXPECT_NE(inOther->file(), standard->file());
    EXPECT_FALSE(inOther->boolForKey("flag"));
  }
  EXPECT_TRUE(UserDefaults::standard()->boolForKey("flag"));
}

}  // namespace
}  // namespace dz::platform
