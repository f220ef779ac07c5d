// The demo: runs the system on this machine. It configures the default app from the options file
// in its resources and shows what it read. Given a development server (scripts/demo starts one),
// it then plays two devices on the options' database: device B listens at /polls, device A writes
// a poll and votes, and B prints each change as it arrives; then the server drops every
// connection, both devices come back by themselves, and B receives A's next vote.
//
//   dz-demo [--port N --server-pid PID]
#include <signal.h>

#include <boost/json/parse.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>

#include "core/app.h"
#include "core/library_registry.h"
#include "core/logger.h"
#include "database/core/auth_token_provider.h"
#include "database/core/parsed_url.h"
#include "platform/bundle.h"
#include "platform/exception.h"
#include "platform/notification_center.h"
#include "platform/process_info.h"
#include "platform/run_loop.h"
#include "programs/demo_device.h"

namespace {

using dz::demo::Device;

constexpr char kUsage[] = "usage: dz-demo [--port N --server-pid PID]\n";
// Each step takes well under a second; this only bounds a demo that went wrong.
constexpr auto kStepTimeout = std::chrono::seconds(15);
constexpr char kPollsPath[] = "/polls";
constexpr char kPollPath[] = "/polls/p1";
constexpr char kPoll[] = R"({"question": "Lunch today?", "options": {"pizza": 0, "salad": 0}})";

struct Arguments {
  uint16_t port = 0;  // of the development server; 0 shows the options only
  pid_t serverPid = 0;
};

bool parseNumber(const std::string& text, long maximum, long& number) {
  try {
    size_t used = 0;
    number = std::stol(text, &used);
    return used == text.size() && number > 0 && number <= maximum;
  } catch (const std::exception&) {
    return false;
  }
}

bool parseArguments(int argc, char** argv, Arguments& arguments) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    // Launch arguments of the libraries ("-DZDebugEnabled") are theirs to read.
    if (name.rfind("-DZ", 0) == 0) continue;
    long number = 0;
    if (i + 1 >= argc) return false;
    if (name == "--port" && parseNumber(argv[++i], 65535, number)) {
      arguments.port = static_cast<uint16_t>(number);
    } else if (name == "--server-pid" && parseNumber(argv[++i], INT32_MAX, number) && number > 1) {
      arguments.serverPid = static_cast<pid_t>(number);
    } else {
      return false;
    }
  }
  return (arguments.port == 0) == (arguments.serverPid == 0);
}

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

void showOptions(const dz::core::App& app) {
  const dz::core::Options& options = app.options();
  std::cout << "default app configured\n";
  print("name", app.name());
  print("app id", options.vivuroAppID);
  print("bundle id", options.bundleID);
  print("API key", options.APIKey);
  print("database URL", options.databaseURL.value_or(""));
  print("storage bucket", options.storageBucket);
  print("sender id", options.VCMSenderID);
}

// The options' database, reached at the development server's port. Throws dz::Exception when the
// options name no usable database URL.
dz::database::RepoInfoPtr databaseOnServer(const dz::core::Options& options, uint16_t port) {
  auto parsed = dz::database::parseUrl(options.databaseURL.value_or(""));
  const auto& repoInfo = *parsed.repoInfo;
  std::string host = repoInfo.host().substr(0, repoInfo.host().find(':'));
  return dz::database::RepoInfo::create(host + ":" + std::to_string(port), repoInfo.secure(),
                                        repoInfo.namespaceName());
}

void step(const std::string& text) { std::cout << "-- " << text << std::endl; }

// Pumps the main run loop, where the devices report, until `done` holds. False, with a message,
// when a request of a device failed or the time-out passed first.
bool waitFor(const std::string& what, const Device& a, const Device& b,
             const std::function<bool()>& done) {
  auto failed = [&] { return a.counts().failures + b.counts().failures > 0; };
  dz::platform::RunLoop::main().runUntil([&] { return done() || failed(); }, kStepTimeout);
  if (failed()) {
    std::cerr << "dz-demo: a request failed while waiting for " << what << "\n";
    return false;
  }
  if (!done()) {
    std::cerr << "dz-demo: waited " << kStepTimeout.count() << " s for " << what << "; giving up\n";
    return false;
  }
  return true;
}

// Every step waits for what it caused, counted from where the devices stood before it, so that a
// retried connection attempt cannot throw the later steps off.
bool playTwoDevices(Device& a, Device& b, pid_t serverPid) {
  step("device A and device B connect");
  a.connect();
  if (!waitFor("device A to connect", a, b, [&] { return a.counts().connects == 1; })) {
    return false;
  }
  b.connect();
  if (!waitFor("device B to connect", a, b, [&] { return b.counts().connects == 1; })) {
    return false;
  }

  step("device B listens at /polls");
  b.listen(kPollsPath);
  // The server sends what is there (nothing yet), then its reply.
  if (!waitFor("device B's listen to be answered", a, b,
               [&] { return b.counts().listenReplies == 1; })) {
    return false;
  }

  step("device A writes a poll");
  Device::Counts beforeA = a.counts();
  Device::Counts beforeB = b.counts();
  a.put(kPollPath, boost::json::parse(kPoll));
  if (!waitFor("the poll to reach device B", a, b, [&] {
        return a.counts().writeReplies > beforeA.writeReplies && b.counts().pushes > beforeB.pushes;
      })) {
    return false;
  }

  step("device A votes for pizza");
  beforeA = a.counts();
  beforeB = b.counts();
  a.merge(kPollPath, {{"options/pizza", 1}});
  if (!waitFor("the vote to reach device B", a, b, [&] {
        return a.counts().writeReplies > beforeA.writeReplies && b.counts().pushes > beforeB.pushes;
      })) {
    return false;
  }

  step("the server drops every connection");
  beforeA = a.counts();
  beforeB = b.counts();
  if (kill(serverPid, SIGUSR1) != 0) {
    std::cerr << "dz-demo: cannot signal the development server (pid " << serverPid
              << "): " << std::strerror(errno) << "\n";
    return false;
  }
  // Back online, B listens again and gets the whole of /polls anew.
  if (!waitFor("both devices to come back", a, b, [&] {
        return a.counts().disconnects > beforeA.disconnects &&
               a.counts().connects > beforeA.connects &&
               b.counts().disconnects > beforeB.disconnects &&
               b.counts().connects > beforeB.connects &&
               b.counts().listenReplies > beforeB.listenReplies &&
               b.counts().pushes > beforeB.pushes;
      })) {
    return false;
  }

  step("device A votes for salad");
  beforeA = a.counts();
  beforeB = b.counts();
  a.merge(kPollPath, {{"options/salad", 1}});
  return waitFor("the second vote to reach device B", a, b, [&] {
    return a.counts().writeReplies > beforeA.writeReplies && b.counts().pushes > beforeB.pushes;
  });
}

bool runDevices(const dz::core::AppPtr& app, const Arguments& arguments) {
  dz::database::RepoInfoPtr repoInfo;
  try {
    repoInfo = databaseOnServer(app->options(), arguments.port);
  } catch (const dz::Exception& e) {
    std::cerr << e.name() << ": " << e.reason() << "\n";
    return false;
  }
  std::cout << "database: " << repoInfo->description() << " (development server, pid "
            << arguments.serverPid << ")\n";
  auto tokens = dz::database::AuthTokenProvider::authTokenProviderForApp(app);
  auto a = Device::create("A", repoInfo, dz::database::DatabaseConfig::create("device-a", tokens));
  auto b = Device::create("B", repoInfo, dz::database::DatabaseConfig::create("device-b", tokens));
  bool played = playTwoDevices(*a, *b, arguments.serverPid);
  a->close();
  b->close();
  if (played)
    std::cout << "demo finished: device B saw every change, across a dropped connection\n";
  return played;
}

}  // namespace

int main(int argc, char** argv) {
  dz::platform::ProcessInfo::processInfo().setArguments(argc, argv);
  Arguments arguments;
  if (!parseArguments(argc, argv, arguments)) {
    std::cerr << kUsage;
    return 2;
  }
  registerAnnouncementPrinter();
  std::cout << "resources: " << dz::platform::Bundle::main().resourcePath().string() << "\n";
  try {
    dz::core::App::configure();
  } catch (const dz::Exception& e) {
    std::cerr << e.name() << ": " << e.reason() << "\n";
    return 1;
  }
  dz::core::AppPtr app = dz::core::App::defaultApp();
  showOptions(*app);

  bool succeeded = arguments.port == 0 || runDevices(app, arguments);
  dz::core::flushLog();
  return succeeded ? 0 : 1;
}
