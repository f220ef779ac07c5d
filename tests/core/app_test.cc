#include "core/app.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/logger.h"
#include "platform/exception.h"
#include "platform/notification_center.h"
#include "tests/support/capture_stderr.h"

namespace dz::core {
namespace {

Options sampleOptions() {
  Options options;
  options.vivuroAppID = "1:1:ios:1";
  options.APIKey = "key";
  options.databaseURL = "https://named.dz.test";
  return options;
}

// Deletes the apps a test configured, so tests do not see each other's apps.
class AppTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* name : {"second", "third", kDefaultAppName}) {
      if (auto app = App::appNamed(name)) app->deleteApp();
    }
  }
};

TEST_F(AppTest, NamedAppsAreFoundByName) {
  App::configure("second", sampleOptions());
  App::configure("third", Options{});
  AppPtr second = App::appNamed("second");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->name(), "second");
  EXPECT_EQ(second->options(), sampleOptions());
  EXPECT_EQ(App::appNamed("second"), second);
  EXPECT_FALSE(App::appNamed("third")->options().databaseURL);
  EXPECT_NE(App::appNamed("third"), second);
}

TEST_F(AppTest, MissingAppsAreLoggedAsErrors) {
  testing::StderrCapture capture(flushLog);
  EXPECT_EQ(App::defaultApp(), nullptr);
  EXPECT_EQ(App::appNamed("%@ missing %s"), nullptr);
  EXPECT_EQ(capture.text(),
            "[Dezuvura/Core][I-COR000003] The default app has not yet been configured. Call "
            "App::configure() when the application starts.\n"
            "[Dezuvura/Core][I-COR000004] App with name %@ missing %s does not exist.\n");
}

TEST_F(AppTest, DefaultAppIsTheOneNamedDefault) {
  App::configure(sampleOptions());
  ASSERT_NE(App::defaultApp(), nullptr);
  EXPECT_EQ(App::defaultApp()->name(), "__DZAPP_DEFAULT");
  EXPECT_EQ(App::defaultApp(), App::appNamed("__DZAPP_DEFAULT"));
}

TEST_F(AppTest, ConfiguringANameTwiceOrAnEmptyNameIsRefused) {
  App::configure("second", sampleOptions());
  AppPtr first = App::appNamed("second");
  try {
    App::configure("second", Options{});
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), kCoreExceptionName);
  }
  EXPECT_EQ(App::appNamed("second"), first);
  EXPECT_THROW(App::configure("", Options{}), Exception);
}

TEST_F(AppTest, DeleteRemovesTheAppAndAnnouncesIt) {
  App::configure("second", sampleOptions());
  AppPtr app = App::appNamed("second");
  std::vector<platform::Notification> seen;
  auto& center = platform::NotificationCenter::defaultCenter();
  auto token = center.addObserver(kAppDeleteNotification, App::classIdentity(), nullptr,
                                  [&](const platform::Notification& n) { seen.push_back(n); });
  app->deleteApp();
  center.removeObserver(token);

  testing::StderrCapture capture(flushLog);  // the lookup below logs
  EXPECT_EQ(App::appNamed("second"), nullptr);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].name, "DZAppDeleteNotification");
  EXPECT_EQ(seen[0].sender, App::classIdentity());
  EXPECT_EQ(seen[0].userInfo, (Value::Map{{"DZAppNameKey", Value("second")}}));
  // The name is free again.
  App::configure("second", Options{});
}

TEST_F(AppTest, WithoutATokenGetterTheAnswerIsNoneAtOnceOnTheCallersThread) {
  App::configure("second", sampleOptions());
  AppPtr app = App::appNamed("second");
  bool called = false;
  app->getTokenForcingRefresh(true, [&](std::optional<std::string> token, ErrorPtr error) {
    called = true;
    EXPECT_FALSE(token);
    EXPECT_EQ(error, nullptr);
  });
  EXPECT_TRUE(called);
}

TEST_F(AppTest, TheInstalledTokenGetterAnswersAndCanBeReplaced) {
  App::configure("second", sampleOptions());
  AppPtr app = App::appNamed("second");
  app->setGetTokenImplementation([](bool force, GetTokenCallback callback) {
    std::thread([force, callback] { callback(force ? "fresh" : "cached", nullptr); }).join();
  });
  std::optional<std::string> answer;
  app->getTokenForcingRefresh(true,
                              [&](std::optional<std::string> token, ErrorPtr) { answer = token; });
  EXPECT_EQ(answer, "fresh");

  app->setGetTokenImplementation([](bool, GetTokenCallback callback) {
    callback(std::nullopt, std::make_shared<Error>("domain", 17));
  });
  ErrorPtr failure;
  app->getTokenForcingRefresh(false,
                              [&](std::optional<std::string>, ErrorPtr error) { failure = error; });
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(failure->code(), 17);
}

}  // namespace
}  // namespace dz::core
