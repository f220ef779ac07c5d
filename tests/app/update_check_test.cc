// The update check against the development server's update documents: a newer version is
// offered and installing opens the manifest link; the same or an older one stays quiet; a
// document of the wrong shape is a failure.
#include <gtest/gtest.h>

#include "app/update_manager.h"
#include "http/session_manager.h"
#include "platform/bundle.h"
#include "platform/exception.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/window.h"
#include "tests/app/app_fixture.h"

namespace pollapp::testing {
namespace {

class UpdateCheckTest : public AppServerTest {
 protected:
  void SetUp() override {
    AppServerTest::SetUp();
    auto& bundle = dz::platform::Bundle::main();
    bundle.setInfoValue(dz::platform::kBundleShortVersionKey, Value("1.4"));
    bundle.setInfoValue(dz::platform::kBundleVersionKey, Value("12"));
    window_ = std::make_shared<dz::ui::Window>();
    window_->setRootViewController(std::make_shared<dz::ui::ViewController>());
    window_->makeKeyAndVisible();
    manager_ = UpdateManager::create(server_->updateServerUrl());
  }
  void TearDown() override {
    auto& bundle = dz::platform::Bundle::main();
    bundle.setInfoValue(dz::platform::kBundleShortVersionKey, Value());
    bundle.setInfoValue(dz::platform::kBundleVersionKey, Value());
    window_.reset();
    dz::ui::Application::shared().reset();
    AppServerTest::TearDown();
  }

  // Runs one check to its end: an alert, or the version the manager settles on.
  std::shared_ptr<dz::ui::AlertController> check() {
    // A new manager has learnt no version yet; every outcome sets one.
    manager_ = UpdateManager::create(server_->updateServerUrl());
    manager_->checkForUpdates();
    EXPECT_TRUE(waitFor([&] { return !manager_->currentServerVersion().empty(); }));
    auto shown = alert();
    if (shown) window_->rootViewController()->dismiss(false);
    return shown;
  }
  std::shared_ptr<dz::ui::AlertController> alert() const {
    return std::dynamic_pointer_cast<dz::ui::AlertController>(
        window_->rootViewController()->presentedViewController());
  }

  std::shared_ptr<dz::ui::Window> window_;
  std::shared_ptr<UpdateManager> manager_;
};

TEST_F(UpdateCheckTest, ANewerVersionIsOfferedAndTheSameStaysQuiet) {
  EXPECT_EQ(UpdateManager::appVersion(), "1.4.12");
  EXPECT_EQ(manager_->pListUrl(),
            "itms-services://?action=download-manifest&url=" + server_->updateServerUrl() +
                "/static/enterprise/vexo/manifest.plist");
  auto* updates = server_->updateService();
  updates->setVersion("1.4.12", "same");
  EXPECT_EQ(check(), nullptr);
  EXPECT_EQ(manager_->currentServerVersion(), "1.4.12");
  updates->setVersion("1.4.2", std::nullopt);
  EXPECT_EQ(check(), nullptr);

  updates->setVersion("1.5", "Faster feeds.");
  auto offer = check();
  ASSERT_NE(offer, nullptr);
  EXPECT_EQ(offer->alertTitle(), "update available");
  EXPECT_EQ(offer->message(), "Faster feeds.\nupdate now?");
  ASSERT_EQ(offer->actions().size(), 2u);
  EXPECT_EQ(offer->actions()[0].title, "Cancel");
  EXPECT_EQ(offer->actions()[1].title, "OK");
  EXPECT_EQ(offer->preferredAction(), 1u);
  EXPECT_EQ(manager_->currentServerVersion(), "1.5");
  EXPECT_FALSE(offer->actions()[0].handler);
  EXPECT_TRUE(dz::ui::Application::shared().openedURLs().empty());
  offer->actions()[1].handler(offer->actions()[1]);
  EXPECT_EQ(dz::ui::Application::shared().openedURLs(),
            std::vector<std::string>{manager_->pListUrl()});

  updates->setVersion("1.4.13", std::nullopt);
  offer = check();
  ASSERT_NE(offer, nullptr);
  EXPECT_EQ(offer->message(), "a new version is available.\nupdate now?");
}

TEST_F(UpdateCheckTest, DocumentsOfTheWrongShapeAreFailures) {
  auto* updates = server_->updateService();
  for (const char* body :
       {R"({"CurrentVersion": 9})", R"({"CurrentVersion": "9", "ReleaseNotes": 1})", R"(["9"])",
        "not json", R"({})"}) {
    updates->setVersionDocument(body);
    EXPECT_EQ(check(), nullptr) << body;
    EXPECT_EQ(manager_->currentServerVersion(), "1.4.12") << body;
  }
  updates->setVersionDocument(R"({"CurrentVersion": "9"})", 500);
  EXPECT_EQ(check(), nullptr);

  // The HTTP client on its own: JSON parsed on the completion queue; a status above 299 fails.
  std::optional<Value> parsed;
  dz::ErrorPtr failure;
  updates->setVersionDocument(R"({"CurrentVersion": "2", "n": [1, 2]})");
  dz::http::SessionManager::manager()->GET(
      manager_->versionUrl(), Value(Value::Map{{"a b", "c&d"}}), nullptr,
      [&](const auto& task, const Value& value) {
        EXPECT_NE(task->url().find("?a%20b=c%26d"), std::string::npos);
        parsed = value;
      },
      [&](const auto&, const dz::ErrorPtr& error) { failure = error; });
  ASSERT_TRUE(waitFor([&] { return parsed || failure; }));
  ASSERT_TRUE(parsed);
  EXPECT_EQ((*parsed)["n"], Value(Value::Array{1, 2}));
  dz::http::SessionManager::manager()->GET(
      server_->updateServerUrl() + "/missing", std::nullopt, nullptr,
      [&](const auto&, const Value&) { ADD_FAILURE(); },
      [&](const auto&, const dz::ErrorPtr& error) { failure = error; });
  ASSERT_TRUE(waitFor([&] { return failure != nullptr; }));
  EXPECT_EQ(failure->code(), 404);
  EXPECT_THROW(dz::http::SessionManager::manager()->GET(
                   "ftp://x", std::nullopt, nullptr, [](auto&&...) {}, [](auto&&...) {}),
               dz::Exception);
}

}  // namespace
}  // namespace pollapp::testing
