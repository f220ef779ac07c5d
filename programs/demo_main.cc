// The demo: runs the system on this machine. For now it configures the default app from the
// options file in its resources and shows what it read.
#include <iostream>
#include <string>

#include "core/app.h"
#include "core/library_registry.h"
#include "core/logger.h"
#include "platform/bundle.h"
#include "platform/exception.h"
#include "platform/notification_center.h"
#include "platform/process_info.h"

namespace {

void print(const std::string& label, const std::string& value) {
  std::cout << "  " << label << ": " << (value.empty() ? "(none)" : value) << "\n";
}

// Stands in for the client libraries that start when an app is announced.
void registerAnnouncementPrinter() {
  dz::core::registerLibrary("demo", [] {
    dz::platform::NotificationCenter::defaultCenter().addObserver(
        dz::core::kAppReadyToConfigureSDKNotification, dz::core::App::classIdentity(), nullptr,
        [](const dz::platform::Notification& notification) {
          const dz::Value& name = notification.userInfo.at(dz::core::kAppNameKey);
          std::cout << "announced: " << notification.name << " for " << name.asString() << "\n";
        });
  });
}

}  // namespace

int main(int argc, char** argv) {
  dz::platform::ProcessInfo::processInfo().setArguments(argc, argv);
  registerAnnouncementPrinter();
  std::cout << "resources: " << dz::platform::Bundle::main().resourcePath().string() << "\n";
  try {
    dz::core::App::configure();
  } catch (const dz::Exception& e) {
    std::cerr << e.name() << ": " << e.reason() << "\n";
    return 1;
  }

  dz::core::AppPtr app = dz::core::App::defaultApp();
  const dz::core::Options& options = app->options();
  std::cout << "default app configured\n";
  print("name", app->name());
  print("app id", options.vivuroAppID);
  print("bundle id", options.bundleID);
  print("API key", options.APIKey);
  print("database URL", options.databaseURL.value_or(""));
  print("storage bucket", options.storageBucket);
  print("sender id", options.VCMSenderID);
  dz::core::flushLog();
  return 0;
}
