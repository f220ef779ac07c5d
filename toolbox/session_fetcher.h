// SessionFetcherService and SessionFetcher: HTTP(S) requests over libcurl. A service holds the
// settings its fetchers share (user agent, callback queue, time-out) and one transfer thread that
// runs every fetch of the service on one libcurl multi handle, so connections to a host are kept
// and reused. TLS is verified against the system's trust store plus the CA file named by the
// environment variable DZ_CA_FILE; host names overridden through platform::Resolver (and
// DZ_RESOLVE) connect to the address given there.
//
// Every completion runs once, on the service's callback queue (the main queue unless set). The
// service may be used from any thread; a fetcher is begun once. Once the service and its fetchers
// are gone, fetches still running fail with kFetcherCancelled. Nothing here logs a body, header
// or URL.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch_queue.h"
#include "platform/error.h"

namespace dz::toolbox {

// Transport failures (no answer): code is libcurl's result code, or kFetcherCancelled.
inline constexpr char kFetcherNetworkErrorDomain[] = "dz.toolbox.FetcherNetworkError";
// An answer with a status above 299: code is the status; the body is handed over with it.
inline constexpr char kFetcherStatusErrorDomain[] = "dz.toolbox.FetcherStatusError";
inline constexpr int64_t kFetcherCancelled = -999;

inline constexpr auto kDefaultFetchTimeout = std::chrono::seconds(60);
// Answers larger than this are cut off and reported as a transport failure.
inline constexpr size_t kMaxResponseBytes = 16 * 1024 * 1024;

struct URLRequest {
  std::string url = {};  // http or https only
  // Empty: GET, or POST when the fetcher has a body.
  std::string method = {};
  std::vector<std::pair<std::string, std::string>> headers = {};
};

// (body, none) on success; (none, error) on a transport failure; (body, error) on a status above
// 299.
using FetchCompletion = std::function<void(std::optional<std::string> data, ErrorPtr error)>;

class SessionFetcherService;
namespace detail {
class TransferEngine;
}

class SessionFetcher {
 public:
  SessionFetcher(const SessionFetcher&) = delete;
  SessionFetcher& operator=(const SessionFetcher&) = delete;

  const URLRequest& request() const { return request_; }
  void setBodyData(std::string body) { body_ = std::move(body); }
  // Starts the fetch. Throws dz::Exception kInvalidArgumentException for an empty completion or
  // a fetcher begun before, and for a URL that is not http or https.
  void beginFetch(FetchCompletion completion);

 private:
  friend class SessionFetcherService;
  SessionFetcher(std::shared_ptr<detail::TransferEngine> engine, URLRequest request,
                 std::string userAgent, std::chrono::milliseconds timeout,
                 platform::DispatchQueuePtr callbackQueue);

  std::shared_ptr<detail::TransferEngine> engine_;
  URLRequest request_;
  std::string userAgent_;
  std::chrono::milliseconds timeout_;
  platform::DispatchQueuePtr callbackQueue_;
  std::optional<std::string> body_;
  bool begun_ = false;
};
using SessionFetcherPtr = std::shared_ptr<SessionFetcher>;

class SessionFetcherService {
 public:
  static std::shared_ptr<SessionFetcherService> create();
  ~SessionFetcherService();
  SessionFetcherService(const SessionFetcherService&) = delete;
  SessionFetcherService& operator=(const SessionFetcherService&) = delete;

  // Settings apply to fetchers made afterwards.
  void setUserAgent(std::string userAgent);
  void setCallbackQueue(platform::DispatchQueuePtr queue);
  // The whole fetch, connection included, must end within this (a time-out is a transport
  // failure). Zero or negative restores the default.
  void setTimeout(std::chrono::milliseconds timeout);

  SessionFetcherPtr fetcherWithRequest(URLRequest request);

  // Connections opened so far by this service's fetches (reuse keeps this low).
  size_t connectionsOpened() const;

 private:
  SessionFetcherService();
  mutable std::mutex mutex_;
  std::string userAgent_;
  platform::DispatchQueuePtr callbackQueue_;
  std::chrono::milliseconds timeout_ = kDefaultFetchTimeout;
  std::shared_ptr<detail::TransferEngine> engine_;
};
using SessionFetcherServicePtr = std::shared_ptr<SessionFetcherService>;

}  // namespace dz::toolbox
