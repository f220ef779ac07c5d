#include "platform/keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "tests/support/sandbox.h"

namespace dz::platform {
namespace {

constexpr char kService[] = "dezuvura_auth_1:123:ios:abc";
constexpr char kAccount[] = "dezuvura_auth_1___DZAPP_DEFAULT_dezuvura_user";

mode_t modeOf(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

class KeychainTest : public ::testing::Test {
 protected:
  std::filesystem::path file() const { return sandbox_.root() / "Keychain" / "keychain.json"; }
  dz::testing::ScopedSandbox sandbox_;
};

TEST_F(KeychainTest, StatusesOfAddCopyUpdateAndDelete) {
  auto keychain = Keychain::create(file());
  const KeychainQuery query{kAccount, kService};
  EXPECT_EQ(keychain->copyMatching(query).status, kKeychainItemNotFound);
  EXPECT_EQ(keychain->update(query, "x"), kKeychainItemNotFound);
  EXPECT_EQ(keychain->remove(query), kKeychainItemNotFound);

  EXPECT_EQ(keychain->add({kAccount, kService, "first"}), kKeychainSuccess);
  EXPECT_EQ(keychain->add({kAccount, kService, "again"}), kKeychainDuplicateItem);
  KeychainResult found = keychain->copyMatching(query);
  EXPECT_EQ(found.status, kKeychainSuccess);
  EXPECT_EQ(found.items, (std::vector<KeychainItem>{{kAccount, kService, "first"}}));

  EXPECT_EQ(keychain->update(query, std::string("\0second\xff", 8)), kKeychainSuccess);
  EXPECT_EQ(keychain->copyMatching(query).items.at(0).data, std::string("\0second\xff", 8));
  EXPECT_EQ(keychain->remove(query), kKeychainSuccess);
  EXPECT_EQ(keychain->copyMatching(query).status, kKeychainItemNotFound);
  EXPECT_EQ(keychain->remove(query), kKeychainItemNotFound);
}

TEST_F(KeychainTest, ItemsAreKeyedByAccountAndService) {
  auto keychain = Keychain::create(file());
  EXPECT_EQ(keychain->add({"user", "service-a", "a"}), kKeychainSuccess);
  EXPECT_EQ(keychain->add({"user", "service-b", "b"}), kKeychainSuccess);
  EXPECT_EQ(keychain->add({"user", std::nullopt, "none"}), kKeychainSuccess);
  EXPECT_EQ(keychain->add({"user", std::nullopt, "none again"}), kKeychainDuplicateItem);
  EXPECT_EQ(keychain->add({"other", "service-a", "o"}), kKeychainSuccess);

  EXPECT_EQ(keychain->copyMatching({"user", "service-b"}).items.at(0).data, "b");
  // Without a service the query reaches all of the account's items.
  KeychainResult all = keychain->copyMatching({"user", std::nullopt});
  ASSERT_EQ(all.items.size(), 3u);
  EXPECT_EQ(all.items[0].service, std::nullopt);
  EXPECT_EQ(keychain->remove({"user", "service-a"}), kKeychainSuccess);
  EXPECT_EQ(keychain->copyMatching({"user", std::nullopt}).items.size(), 2u);
  EXPECT_EQ(keychain->copyMatching({"other", "service-a"}).status, kKeychainSuccess);
}

TEST_F(KeychainTest, FileIsOwnerOnlyWhateverTheUmask) {
  mode_t previous = ::umask(0);
  auto keychain = Keychain::create(file());
  EXPECT_EQ(keychain->add({kAccount, kService, "secret"}), kKeychainSuccess);
  ::umask(previous);
  EXPECT_EQ(modeOf(file()), 0600u);
  EXPECT_EQ(modeOf(file().parent_path()), 0700u);

  // A folder someone opened up is closed again by the next write.
  ::chmod(file().parent_path().c_str(), 0755);
  EXPECT_EQ(keychain->update({kAccount, kService}, "new"), kKeychainSuccess);
  EXPECT_EQ(modeOf(file().parent_path()), 0700u);
  EXPECT_EQ(modeOf(file()), 0600u);
  // Only the one file: no temporary files left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file().parent_path()), {}), 1);
}

TEST_F(KeychainTest, ItemsPersistAcrossInstancesAndTheStandardKeychainUsesTheSandbox) {
  EXPECT_EQ(Keychain::standard()->file(), file());
  EXPECT_EQ(Keychain::standard()->add({kAccount, kService, "stored"}), kKeychainSuccess);
  EXPECT_EQ(Keychain::create(file())->copyMatching({kAccount, kService}).items.at(0).data,
            "stored");
}

TEST_F(KeychainTest, CorruptFileIsSetAsideAndReadAsEmpty) {
  std::filesystem::create_directories(file().parent_path());
  std::ofstream(file()) << "{\"items\": [{\"account\": ";
  auto keychain = Keychain::create(file());
  EXPECT_EQ(keychain->copyMatching({kAccount, kService}).status, kKeychainItemNotFound);
  std::filesystem::path aside = file();
  aside += ".corrupt";
  EXPECT_TRUE(std::filesystem::exists(aside));
  EXPECT_EQ(keychain->add({kAccount, kService, "fresh"}), kKeychainSuccess);
  EXPECT_EQ(keychain->copyMatching({kAccount, kService}).items.at(0).data, "fresh");
}

TEST_F(KeychainTest, MalformedItemsAreDroppedAndTheRestKept) {
  std::filesystem::create_directories(file().parent_path());
  std::ofstream(file()) << R"({"items": [{"account": "a", "data": "not base64!"},
      {"account": 5, "data": ""}, "junk", {"account": "b", "service": "s", "data": "b2s="}]})";
  auto keychain = Keychain::create(file());
  EXPECT_EQ(keychain->copyMatching({"a", std::nullopt}).status, kKeychainItemNotFound);
  EXPECT_EQ(keychain->copyMatching({"b", "s"}).items.at(0).data, "ok");
}

TEST_F(KeychainTest, UnreadableFileIsAnErrorAndIsNotOverwritten) {
  std::filesystem::create_directories(file());  // a folder cannot be read as the file
  auto keychain = Keychain::create(file());
  EXPECT_EQ(keychain->copyMatching({kAccount, kService}).status, kKeychainIOError);
  EXPECT_EQ(keychain->add({kAccount, kService, "x"}), kKeychainIOError);
  EXPECT_TRUE(std::filesystem::is_directory(file()));
}

TEST_F(KeychainTest, ConcurrentAddsFromSeveralObjectsAllLand) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      auto keychain = Keychain::create(file());
      for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(keychain->add({"account" + std::to_string(t), std::to_string(i), "v"}),
                  kKeychainSuccess);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  auto keychain = Keychain::create(file());
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(keychain->copyMatching({"account" + std::to_string(t), std::nullopt}).items.size(),
              10u);
  }
}

}  // namespace
}  // namespace dz::platform
