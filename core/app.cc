#include "core/app.h"

#include <map>

#include "core/logger.h"
#include "platform/exception.h"
#include "platform/notification_center.h"

namespace dz::core {
namespace {

constexpr char kNoDefaultAppCode[] = "I-COR000003";
constexpr char kNoDefaultAppMessage[] =
    "The default app has not yet been configured. Call App::configure() when the application "
    "starts.";
constexpr char kNoSuchAppCode[] = "I-COR000004";

std::string invalidOptionsFileReason() {
  return std::string(
             "[DZApp configure] could not find a valid VivuroService-Info.plist in your project. "
             "Please download one from ") +
         kConsoleURL + ".";
}

struct Registry {
  std::mutex mutex;
  std::map<std::string, AppPtr, std::less<>> apps;
};

Registry& registry() {
  static auto* instance = new Registry;
  return *instance;
}

}  // namespace

App::App(std::string name, Options options)
    : name_(std::move(name)), options_(std::move(options)) {}

const void* App::classIdentity() {
  static const char tag = 0;
  return &tag;
}

void App::configure() {
  std::optional<Options> options = Options::defaultOptions();
  if (!options) throw Exception(kCoreExceptionName, invalidOptionsFileReason());
  configure(kDefaultAppName, *options);
}

void App::configure(const Options& options) { configure(kDefaultAppName, options); }

void App::configure(const std::string& name, const Options& options) {
  if (name.empty()) throw Exception(kCoreExceptionName, "App name can not be empty.");
  AppPtr app(new App(name, options));
  {
    Registry& apps = registry();
    std::lock_guard<std::mutex> lock(apps.mutex);
    if (apps.apps.count(name)) {
      throw Exception(kCoreExceptionName, "App named " + name + " has already been configured.");
    }
    apps.apps.emplace(name, app);
  }
  // Observers look the app up by name, so it is posted after the registry lock is released.
  platform::NotificationCenter::defaultCenter().post(
      kAppReadyToConfigureSDKNotification, classIdentity(),
      {{kAppNameKey, Value(name)}, {kVivuroAppIDKey, Value(options.vivuroAppID)}});
}

AppPtr App::defaultApp() {
  {
    Registry& apps = registry();
    std::lock_guard<std::mutex> lock(apps.mutex);
    if (auto found = apps.apps.find(kDefaultAppName); found != apps.apps.end()) {
      return found->second;
    }
  }
  logError(kCoreLogTag, kNoDefaultAppCode, kNoDefaultAppMessage);
  return nullptr;
}

AppPtr App::appNamed(std::string_view name) {
  {
    Registry& apps = registry();
    std::lock_guard<std::mutex> lock(apps.mutex);
    if (auto found = apps.apps.find(name); found != apps.apps.end()) return found->second;
  }
  logError(kCoreLogTag, kNoSuchAppCode,
           std::string("App with name ").append(name).append(" does not exist."));
  return nullptr;
}

void App::deleteApp() {
  {
    Registry& apps = registry();
    std::lock_guard<std::mutex> lock(apps.mutex);
    if (auto found = apps.apps.find(name_);
        found != apps.apps.end() && found->second.get() == this) {
      apps.apps.erase(found);
    }
  }
  platform::NotificationCenter::defaultCenter().post(kAppDeleteNotification, classIdentity(),
                                                     {{kAppNameKey, Value(name_)}});
}

void App::setGetTokenImplementation(GetTokenImplementation implementation) {
  std::lock_guard<std::mutex> lock(tokenMutex_);
  getToken_ = std::move(implementation);
}

void App::getTokenForcingRefresh(bool forceRefresh, GetTokenCallback callback) const {
  GetTokenImplementation getToken;
  {
    std::lock_guard<std::mutex> lock(tokenMutex_);
    getToken = getToken_;
  }
  if (!getToken) {
    callback(std::nullopt, nullptr);
    return;
  }
  getToken(forceRefresh, std::move(callback));
}

}  // namespace dz::core
