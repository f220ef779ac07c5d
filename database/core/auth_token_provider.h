// Auth token providers: where the database connection gets its access token and learns of token
// changes. The app provider asks an App's token getter (installed by authentication) and listens
// for authentication's state announcements of that same app; the noop provider has no tokens.
// Both answer only on the work queue, one task per answer or change. Providers are shared
// (std::shared_ptr) by the configuration and its repositories; every method is thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/app.h"
#include "platform/error.h"

namespace dz::database {

using TokenCallback = std::function<void(std::optional<std::string> token, ErrorPtr error)>;
using TokenChangeListener = std::function<void(std::optional<std::string> token)>;

// Keeps a token listener registered. remove() or destruction stops it: once either returns, the
// listener is not called again (unless remove() runs inside the listener's own call). Removing
// twice is harmless.
class TokenListenerRegistration {
 public:
  explicit TokenListenerRegistration(std::function<void()> remover = {});
  ~TokenListenerRegistration();
  TokenListenerRegistration(const TokenListenerRegistration&) = delete;
  TokenListenerRegistration& operator=(const TokenListenerRegistration&) = delete;

  void remove();

 private:
  std::mutex mutex_;
  std::function<void()> remover_;
};
using TokenListenerRegistrationPtr = std::unique_ptr<TokenListenerRegistration>;

class AuthTokenProvider {
 public:
  virtual ~AuthTokenProvider() = default;

  // Calls `callback` once, on the work queue, with the token (none without one) or an error.
  virtual void fetchTokenForcingRefresh(bool forceRefresh, TokenCallback callback) = 0;
  // Calls `listener` on the work queue with each new token (none after sign-out) for as long as
  // the returned registration lives.
  [[nodiscard]] virtual TokenListenerRegistrationPtr listenForTokenChanges(
      TokenChangeListener listener) = 0;

  // The provider of a database made for `app`.
  static std::shared_ptr<AuthTokenProvider> authTokenProviderForApp(core::AppPtr app);
};
using AuthTokenProviderPtr = std::shared_ptr<AuthTokenProvider>;

// Tokens through the app's token getter; changes from authentication's announcements posted with
// this app as sender (see core::kAuthStateDidChangeInternalNotification).
class AppAuthTokenProvider : public AuthTokenProvider {
 public:
  explicit AppAuthTokenProvider(core::AppPtr app);

  // Maps the getter's answer: an error of code 0 (authentication not configured, logged) or 1
  // reads as no token and no error; other errors are handed on.
  void fetchTokenForcingRefresh(bool forceRefresh, TokenCallback callback) override;
  TokenListenerRegistrationPtr listenForTokenChanges(TokenChangeListener listener) override;

  const core::AppPtr& app() const { return app_; }

 private:
  const core::AppPtr app_;
};

// No tokens: every fetch answers (none, none); listeners are never called.
class NoopAuthTokenProvider : public AuthTokenProvider {
 public:
  void fetchTokenForcingRefresh(bool forceRefresh, TokenCallback callback) override;
  TokenListenerRegistrationPtr listenForTokenChanges(TokenChangeListener listener) override;
};

}  // namespace dz::database
