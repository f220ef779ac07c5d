#include "http/session_manager.h"

#include <map>

#include "platform/exception.h"
#include "toolbox/url_arguments.h"

namespace dz::http {
namespace {

bool hasHttpScheme(const std::string& url) {
  return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

std::string argumentText(const Value& value) {
  if (const std::string* text = value.getString()) return *text;
  if (value.isBool()) return value.asBool() ? "1" : "0";
  if (value.isNumber()) return value.toJsonString();
  throw Exception(kInvalidArgumentException, "GET parameters must be strings, numbers or booleans");
}

std::string urlWithParameters(const std::string& url, const std::optional<Value>& parameters) {
  if (!parameters || parameters->isNull()) return url;
  const Value::Map* map = parameters->getMap();
  if (!map) throw Exception(kInvalidArgumentException, "GET parameters must be a map");
  if (map->empty()) return url;
  std::map<std::string, std::string, std::less<>> arguments;
  for (const auto& [key, value] : *map) arguments[key] = argumentText(value);
  return url + (url.find('?') == std::string::npos ? "?" : "&") +
         toolbox::httpArgumentsString(arguments);
}

}  // namespace

SessionManager::SessionManager() : service_(toolbox::SessionFetcherService::create()) {
  // The fetcher hands over on a queue of its own; this manager moves the result to its
  // completion queue, read when the request ends.
  service_->setCallbackQueue(platform::DispatchQueue::create("dz.http.SessionManager"));
}

std::shared_ptr<SessionManager> SessionManager::manager() {
  return std::shared_ptr<SessionManager>(new SessionManager());
}

platform::DispatchQueuePtr SessionManager::completionQueue() const {
  std::lock_guard lock(mutex_);
  return completionQueue_ ? completionQueue_ : platform::DispatchQueue::main();
}

void SessionManager::setCompletionQueue(platform::DispatchQueuePtr queue) {
  std::lock_guard lock(mutex_);
  completionQueue_ = std::move(queue);
}

std::optional<Value> SessionManager::responseObjectForData(const std::string& data,
                                                           ErrorPtr& error) {
  if (data.find_first_not_of(" \t\r\n") == std::string::npos) return Value();
  std::optional<Value> parsed = Value::parseJson(data);
  if (!parsed) {
    error =
        std::make_shared<Error>(kResponseSerializationErrorDomain, kResponseSerializationBadJSON,
                                "The data couldn't be read because it isn't in the correct "
                                "format.");
  }
  return parsed;
}

DataTaskPtr SessionManager::GET(const std::string& url, const std::optional<Value>& parameters,
                                Progress, Success success, Failure failure) {
  if (!success || !failure) {
    throw Exception(kInvalidArgumentException, "GET needs a success and a failure callback");
  }
  if (!hasHttpScheme(url)) throw Exception(kInvalidArgumentException, "Not an http(s) URL");
  auto task = std::make_shared<DataTask>(urlWithParameters(url, parameters));
  auto fetcher = service_->fetcherWithRequest({.url = task->url(), .method = "GET"});
  // The fetcher and its service stay alive with the request; the manager need not.
  fetcher->beginFetch([self = shared_from_this(), fetcher, task, success = std::move(success),
                       failure = std::move(failure)](std::optional<std::string> data,
                                                     ErrorPtr error) {
    std::optional<Value> response;
    if (!error) response = responseObjectForData(data.value_or(""), error);
    if (error && data && error->domain() == toolbox::kFetcherStatusErrorDomain) {
      error = std::make_shared<Error>(error->domain(), error->code(), error->localizedDescription(),
                                      Value::Map{{kFailingResponseBodyKey, *data}});
    }
    self->completionQueue()->async([task, success, failure, error, response] {
      if (error) {
        failure(task, error);
      } else {
        success(task, *response);
      }
    });
  });
  return task;
}

}  // namespace dz::http
