#include "database/core/database_config.h"

#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "platform/exception.h"

namespace dz::database {
namespace {

class StorageEngineStandIn {};

template <typename F>
void expectThrows(F&& f, const std::string& name, const std::string& reason) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected " << reason;
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), name);
    EXPECT_EQ(e.reason(), reason);
  }
}

DatabaseConfigPtr freshConfig() {
  return DatabaseConfig::create("test", std::make_shared<NoopAuthTokenProvider>());
}

TEST(DatabaseConfigTest, Defaults) {
  auto config = freshConfig();
  EXPECT_FALSE(config->persistenceEnabled());
  EXPECT_FALSE(config->isFrozen());
  EXPECT_EQ(config->persistenceCacheSizeBytes(), 10485760u);
  EXPECT_EQ(config->callbackQueue(), platform::DispatchQueue::main());
  EXPECT_EQ(config->sessionIdentifier(), "test");
  EXPECT_NE(config->authTokenProvider(), nullptr);
  EXPECT_EQ(config->forceStorageEngine(), nullptr);
}

TEST(DatabaseConfigTest, CacheSizeBounds) {
  auto config = freshConfig();
  config->setPersistenceCacheSizeBytes(1048576);
  EXPECT_EQ(config->persistenceCacheSizeBytes(), 1048576u);
  config->setPersistenceCacheSizeBytes(104857600);
  EXPECT_EQ(config->persistenceCacheSizeBytes(), 104857600u);
  expectThrows([&] { config->setPersistenceCacheSizeBytes(1048575); }, "NSInvalidArgumentException",
               "The minimum cache size must be at least 1MB");
  expectThrows([&] { config->setPersistenceCacheSizeBytes(104857601); },
               "NSInvalidArgumentException",
               "Dezuvura Database currently doesn't support a cache size larger than 100MB");
  EXPECT_EQ(config->persistenceCacheSizeBytes(), 104857600u);
}

TEST(DatabaseConfigTest, EverySetterIsRefusedOnceFrozen) {
  auto config = freshConfig();
  config->setPersistenceEnabled(true);
  config->freeze();
  EXPECT_TRUE(config->isFrozen());
  const std::string frozen =
      "Can't modify config objects after they are in use for DZDatabaseReferences.";
  expectThrows([&] { config->setPersistenceEnabled(false); }, "NSGenericException", frozen);
  expectThrows([&] { config->setPersistenceCacheSizeBytes(2097152); }, "NSGenericException",
               frozen);
  expectThrows([&] { config->setCallbackQueue(platform::DispatchQueue::create("q")); },
               "NSGenericException", frozen);
  expectThrows([&] { config->setAuthTokenProvider(std::make_shared<NoopAuthTokenProvider>()); },
               "NSGenericException", frozen);
  expectThrows([&] { config->setForceStorageEngine(nullptr); }, "NSGenericException", frozen);
  EXPECT_TRUE(config->persistenceEnabled());
  EXPECT_EQ(config->persistenceCacheSizeBytes(), 10485760u);
}

TEST(DatabaseConfigTest, SettersBeforeFreezing) {
  auto config = freshConfig();
  auto queue = platform::DispatchQueue::create("callbacks");
  auto provider = std::make_shared<NoopAuthTokenProvider>();
  auto engine = std::make_shared<StorageEngineStandIn>();
  config->setCallbackQueue(queue);
  config->setAuthTokenProvider(provider);
  config->setForceStorageEngine(std::reinterpret_pointer_cast<StorageEngine>(engine));
  EXPECT_EQ(config->callbackQueue(), queue);
  EXPECT_EQ(config->authTokenProvider(), provider);
  EXPECT_EQ(config->forceStorageEngine().get(), static_cast<void*>(engine.get()));
  EXPECT_THROW(config->setCallbackQueue(nullptr), Exception);
  EXPECT_THROW(config->setAuthTokenProvider(nullptr), Exception);
  EXPECT_EQ(config->callbackQueue(), queue);
}

TEST(DatabaseConfigTest, NamedConfigs) {
  for (const char* bad : {"", "with.dot", "space name", "slash/", "é"}) {
    expectThrows([&] { DatabaseConfig::configForName(bad); }, "NSInvalidArgumentException",
                 "Name can only contain [a-zA-Z0-9-_]");
  }
  auto named = DatabaseConfig::configForName("Session-1_a");
  EXPECT_EQ(named->sessionIdentifier(), "Session-1_a");
  EXPECT_EQ(DatabaseConfig::configForName("Session-1_a"), named);
  EXPECT_NE(std::dynamic_pointer_cast<NoopAuthTokenProvider>(named->authTokenProvider()), nullptr);
  EXPECT_EQ(DatabaseConfig::defaultConfig(), DatabaseConfig::configForName("default"));
  EXPECT_EQ(DatabaseConfig::defaultConfig()->sessionIdentifier(), "default");
}

TEST(DatabaseConfigTest, ConcurrentFirstRequestsShareOneConfig) {
  std::vector<std::future<DatabaseConfigPtr>> results;
  for (int i = 0; i < 8; ++i) {
    results.push_back(
        std::async(std::launch::async, [] { return DatabaseConfig::configForName("concurrent"); }));
  }
  auto first = results[0].get();
  for (size_t i = 1; i < results.size(); ++i) EXPECT_EQ(results[i].get(), first);
}

}  // namespace
}  // namespace dz::database
