// SessionManager: the HTTP client's session manager, as much of it as the update check needs: a
// GET whose answer is parsed as JSON. Requests go through the toolbox's session fetcher (libcurl,
// with its TLS trust and resolver overrides). Made by manager() and owned by the caller; a
// request in flight keeps what it needs alive, so the caller may let the manager go at once.
//
// Exactly one of a request's two callbacks runs, once, on the completion queue (the main queue
// unless set). Thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch_queue.h"
#include "platform/error.h"
#include "platform/value.h"
#include "toolbox/session_fetcher.h"

namespace dz::http {

// An answer whose body is not the JSON the response handling expects.
inline constexpr char kResponseSerializationErrorDomain[] = "dz.http.ResponseSerializationError";
inline constexpr int kResponseSerializationBadJSON = -1016;
// The underlying answer of a failure with a status above 299, as text, under this user-info key.
inline constexpr char kFailingResponseBodyKey[] = "dz.http.FailingResponseBody";

// One request started by the manager.
class DataTask {
 public:
  explicit DataTask(std::string url) : url_(std::move(url)) {}
  const std::string& url() const { return url_; }

 private:
  std::string url_;
};
using DataTaskPtr = std::shared_ptr<DataTask>;

class SessionManager : public std::enable_shared_from_this<SessionManager> {
 public:
  using Progress = std::function<void(double fractionCompleted)>;
  using Success = std::function<void(const DataTaskPtr& task, const Value& responseObject)>;
  using Failure = std::function<void(const DataTaskPtr& task, const ErrorPtr& error)>;

  // A manager with no base URL, the default session settings and JSON response handling.
  static std::shared_ptr<SessionManager> manager();
  SessionManager(const SessionManager&) = delete;
  SessionManager& operator=(const SessionManager&) = delete;

  platform::DispatchQueuePtr completionQueue() const;
  // Null restores the main queue.
  void setCompletionQueue(platform::DispatchQueuePtr queue);

  // Starts a GET of `url` with `parameters` (a map of strings, numbers and booleans) appended as
  // the query, and returns its task. The progress callback, accepted for callers that pass one,
  // is not called: answers here are small. Throws dz::Exception kInvalidArgumentException for a
  // URL that is not http or https, parameters that are not a map, or no success or failure
  // callback.
  DataTaskPtr GET(const std::string& url, const std::optional<Value>& parameters, Progress progress,
                  Success success, Failure failure);

  // The parsed answer: the JSON value of a body, or an error of
  // kResponseSerializationErrorDomain. Empty bodies parse as null.
  static std::optional<Value> responseObjectForData(const std::string& data, ErrorPtr& error);

 private:
  SessionManager();
  mutable std::mutex mutex_;
  platform::DispatchQueuePtr completionQueue_;
  const toolbox::SessionFetcherServicePtr service_;
};
using SessionManagerPtr = std::shared_ptr<SessionManager>;

}  // namespace dz::http
