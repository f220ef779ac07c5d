#include "database/core/auth_token_provider.h"

#include "database/utilities/logging.h"
#include "database/utilities/work_queue.h"
#include "platform/notification_center.h"

namespace dz::database {
namespace {

constexpr char kAuthenticationLogCode[] = "authentication";
constexpr char kAuthNotConfiguredMessage[] =
    "Dezuvura Auth is not configured, not going to use authentication.";
constexpr int64_t kAuthNotConfiguredCode = 0;
constexpr int64_t kNoSignedInUserCode = 1;

std::optional<std::string> tokenOf(const platform::Notification& notification) {
  auto found = notification.userInfo.find(core::kAuthStateDidChangeInternalNotificationTokenKey);
  const std::string* text =
      found == notification.userInfo.end() ? nullptr : found->second.getString();
  if (!text || text->empty()) return std::nullopt;
  return *text;
}

}  // namespace

TokenListenerRegistration::TokenListenerRegistration(std::function<void()> remover)
    : remover_(std::move(remover)) {}

TokenListenerRegistration::~TokenListenerRegistration() { remove(); }

void TokenListenerRegistration::remove() {
  std::function<void()> remover;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    remover.swap(remover_);
  }
  if (remover) remover();
}

std::shared_ptr<AuthTokenProvider> AuthTokenProvider::authTokenProviderForApp(core::AppPtr app) {
  return std::make_shared<AppAuthTokenProvider>(std::move(app));
}

AppAuthTokenProvider::AppAuthTokenProvider(core::AppPtr app) : app_(std::move(app)) {}

void AppAuthTokenProvider::fetchTokenForcingRefresh(bool forceRefresh, TokenCallback callback) {
  app_->getTokenForcingRefresh(
      forceRefresh,
      [callback = std::move(callback)](std::optional<std::string> token, ErrorPtr error) mutable {
        workQueue()->async(
            [callback = std::move(callback), token = std::move(token), error = std::move(error)] {
              if (!error) {
                callback(token, nullptr);
              } else if (error->code() == kAuthNotConfiguredCode) {
                logDebug(kAuthenticationLogCode, kAuthNotConfiguredMessage);
                callback(std::nullopt, nullptr);
              } else if (error->code() == kNoSignedInUserCode) {
                callback(std::nullopt, nullptr);
              } else {
                callback(std::nullopt, error);
              }
            });
      });
}

TokenListenerRegistrationPtr AppAuthTokenProvider::listenForTokenChanges(
    TokenChangeListener listener) {
  auto& center = platform::NotificationCenter::defaultCenter();
  // The sender filter admits only this app's announcements; delivery on the work queue is the
  // one task per change.
  platform::NotificationCenter::ObserverToken token = center.addObserver(
      core::kAuthStateDidChangeInternalNotification, app_.get(), workQueue(),
      [listener = std::move(listener)](const platform::Notification& notification) {
        listener(tokenOf(notification));
      });
  // The registration holds the app so that its address, the filter, cannot be reused meanwhile.
  return std::make_unique<TokenListenerRegistration>(
      [token, app = app_] { platform::NotificationCenter::defaultCenter().removeObserver(token); });
}

void NoopAuthTokenProvider::fetchTokenForcingRefresh(bool, TokenCallback callback) {
  workQueue()->async([callback = std::move(callback)] { callback(std::nullopt, nullptr); });
}

TokenListenerRegistrationPtr NoopAuthTokenProvider::listenForTokenChanges(TokenChangeListener) {
  return std::make_unique<TokenListenerRegistration>();
}

}  // namespace dz::database
