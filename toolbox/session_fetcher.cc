#include "toolbox/session_fetcher.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "platform/exception.h"
#include "platform/resolver.h"
#include "platform/tls_client.h"

namespace dz::toolbox {
namespace {

constexpr char kAllowedProtocols[] = "http,https";
constexpr auto kMaxConnectTimeout = std::chrono::seconds(30);
constexpr int kPollMs = 1000;
constexpr long kMaxCachedConnections = 64;
constexpr char kConnectionEndedBeforeAnswer[] =
    "the connection ended before an answer; the request may have run, so it is not sent again";

void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Header text must not carry line breaks: they would start headers of the caller's choosing.
bool safeHeaderText(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; });
}

// How the server answered the hello on a connection being opened. OpenSSL's message callback
// sets it through the context libcurl made for the connection, which may outlive the transfer,
// so the two share it.
using SharedHelloAnswer = std::shared_ptr<std::atomic<platform::HelloAnswer>>;

void freeHelloAnswer(void*, void* answer, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<SharedHelloAnswer*>(answer);
}

int helloAnswerIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeHelloAnswer);
  return index;
}

void watchHelloAnswer(int written, int, int contentType, const void* bytes, size_t length, SSL* ssl,
                      void*) {
  const auto* answer = static_cast<SharedHelloAnswer*>(
      SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), helloAnswerIndex()));
  if (answer) platform::noteHelloAnswer(**answer, written, contentType, bytes, length);
}

size_t appendBody(char* data, size_t size, size_t count, void* user);
int beforeEachSend(void* user, char*, char*, int, int);
CURLcode prepareTlsContext(CURL*, void* context, void* user);

// Methods that may run twice without harm (RFC 9110, 9.2.2).
bool idempotent(std::string_view method) {
  for (std::string_view safe : {"GET", "HEAD", "PUT", "DELETE", "OPTIONS", "TRACE"}) {
    if (method == safe) return true;
  }
  return false;
}

}  // namespace

namespace detail {

struct Transfer {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  curl_slist* resolve = nullptr;
  std::string body;
  std::string response;
  bool tooLarge = false;
  // libcurl sends a request again on a new connection when a reused one ends before any answer;
  // the server may have run it already, so that happens only for idempotent methods.
  bool repeatable = false;
  int sends = 0;
  bool repeatRefused = false;
  // Why DZ_CA_FILE gave no trust anchors, for a verification that then fails.
  std::string caProblem;
  SharedHelloAnswer helloAnswer;  // null until a TLS connection is prepared
  char errorText[CURL_ERROR_SIZE] = {};
  FetchCompletion completion;
  platform::DispatchQueuePtr queue;

  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    curl_slist_free_all(resolve);
  }

  void complete(std::optional<std::string> data, ErrorPtr error) {
    queue->async([completion = std::move(completion), data = std::move(data),
                  error = std::move(error)] { completion(data, error); });
  }
};

// One thread per service drives libcurl's multi handle; fetches reach it through `incoming_`.
class TransferEngine {
 public:
  TransferEngine() : multi_(curl_multi_init()) {
    // Connections stay cached for reuse even when few transfers are running.
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, kMaxCachedConnections);
    thread_ = std::thread([this] { run(); });
  }
  ~TransferEngine() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    curl_multi_wakeup(multi_);
    thread_.join();
    curl_multi_cleanup(multi_);
  }

  void add(std::unique_ptr<Transfer> transfer) {
    {
      std::lock_guard lock(mutex_);
      if (!stopping_) {
        incoming_.push_back(std::move(transfer));
        transfer = nullptr;
      }
    }
    if (transfer) {
      transfer->complete(std::nullopt, cancelledError());
      return;
    }
    curl_multi_wakeup(multi_);
  }

  size_t connectionsOpened() const { return connections_; }

 private:
  static ErrorPtr cancelledError() {
    return std::make_shared<Error>(kFetcherNetworkErrorDomain, kFetcherCancelled, "cancelled");
  }

  void run() {
    while (true) {
      std::vector<std::unique_ptr<Transfer>> added;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) break;
        added.swap(incoming_);
      }
      for (auto& transfer : added) {
        CURL* easy = transfer->easy;
        if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
          transfer->complete(std::nullopt,
                             std::make_shared<Error>(kFetcherNetworkErrorDomain, CURLE_FAILED_INIT,
                                                     "cannot start the transfer"));
          continue;
        }
        active_.emplace(easy, std::move(transfer));
      }
      int running = 0;
      curl_multi_perform(multi_, &running);
      finishDone();
      curl_multi_poll(multi_, nullptr, 0, kPollMs, nullptr);
    }
    for (auto& [easy, transfer] : active_) {
      curl_multi_remove_handle(multi_, easy);
      transfer->complete(std::nullopt, cancelledError());
    }
    active_.clear();
    std::lock_guard lock(mutex_);
    for (auto& transfer : incoming_) transfer->complete(std::nullopt, cancelledError());
    incoming_.clear();
  }

  void finishDone() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      auto found = active_.find(message->easy_handle);
      if (found == active_.end()) continue;
      std::unique_ptr<Transfer> transfer = std::move(found->second);
      active_.erase(found);
      curl_multi_remove_handle(multi_, transfer->easy);
      finish(*transfer, message->data.result);
    }
  }

  void finish(Transfer& transfer, CURLcode result) {
    long opened = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_NUM_CONNECTS, &opened);
    connections_ += static_cast<size_t>(std::max(opened, 0L));
    if (transfer.repeatRefused) {
      transfer.complete(std::nullopt,
                        std::make_shared<Error>(kFetcherNetworkErrorDomain, CURLE_GOT_NOTHING,
                                                kConnectionEndedBeforeAnswer));
      return;
    }
    if (result != CURLE_OK || transfer.tooLarge) {
      std::string description =
          transfer.tooLarge ? "the answer is too large" : std::string(curl_easy_strerror(result));
      if (!transfer.tooLarge && transfer.errorText[0]) {
        description += std::string(": ") + transfer.errorText;
      }
      if (result == CURLE_PEER_FAILED_VERIFICATION && !transfer.caProblem.empty()) {
        description += " (" + transfer.caProblem + ")";
      }
      if (result == CURLE_SSL_CONNECT_ERROR && transfer.helloAnswer) {
        description += platform::helloAnswerNote(*transfer.helloAnswer);
      }
      transfer.complete(std::nullopt,
                        std::make_shared<Error>(kFetcherNetworkErrorDomain,
                                                transfer.tooLarge ? CURLE_WRITE_ERROR : result,
                                                std::move(description)));
      return;
    }
    long status = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    ErrorPtr error;
    if (status > 299) {
      error = std::make_shared<Error>(kFetcherStatusErrorDomain, status,
                                      "HTTP status " + std::to_string(status));
    }
    transfer.complete(std::move(transfer.response), std::move(error));
  }

  CURLM* multi_;
  std::mutex mutex_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Transfer>> incoming_;
  std::map<CURL*, std::unique_ptr<Transfer>> active_;  // transfer thread only
  std::atomic<size_t> connections_{0};
  std::thread thread_;
};

}  // namespace detail

namespace {

size_t appendBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<detail::Transfer*>(user);
  const size_t bytes = size * count;
  if (transfer->response.size() + bytes > kMaxResponseBytes) {
    transfer->tooLarge = true;
    return 0;
  }
  transfer->response.append(data, bytes);
  return bytes;
}

// Adds the development CA (DZ_CA_FILE) to libcurl's context after the system store is loaded,
// and watches how the server answers the hello.
CURLcode prepareTlsContext(CURL*, void* context, void* user) {
  auto* transfer = static_cast<detail::Transfer*>(user);
  auto* tls = static_cast<SSL_CTX*>(context);
  if (const std::string file = platform::environmentCaFile(); !file.empty()) {
    transfer->caProblem = platform::addCaFile(tls, file, platform::kCaFileEnvironment);
  }
  transfer->helloAnswer = std::make_shared<std::atomic<platform::HelloAnswer>>();
  delete static_cast<SharedHelloAnswer*>(SSL_CTX_get_ex_data(tls, helloAnswerIndex()));
  SSL_CTX_set_ex_data(tls, helloAnswerIndex(), new SharedHelloAnswer(transfer->helloAnswer));
  SSL_CTX_set_msg_callback(tls, watchHelloAnswer);
  return CURLE_OK;
}

int beforeEachSend(void* user, char*, char*, int, int) {
  auto* transfer = static_cast<detail::Transfer*>(user);
  if (++transfer->sends > 1 && !transfer->repeatable) {
    transfer->repeatRefused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  return CURL_PREREQFUNC_OK;
}

// The override of the URL's host as a libcurl resolve entry ("host:port:address").
curl_slist* resolveOverride(const std::string& url) {
  CURLU* parsed = curl_url();
  curl_slist* list = nullptr;
  char* host = nullptr;
  char* port = nullptr;
  if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
    if (std::optional<std::string> address = platform::Resolver::overrideAddress(host)) {
      if (address->find(':') != std::string::npos) *address = "[" + *address + "]";
      list = curl_slist_append(nullptr, (std::string(host) + ":" + port + ":" + *address).c_str());
    }
  }
  curl_free(host);
  curl_free(port);
  curl_url_cleanup(parsed);
  return list;
}

bool isHttpUrl(const std::string& url) {
  return url.rfind("https://", 0) == 0 || url.rfind("http://", 0) == 0;
}

}  // namespace

SessionFetcher::SessionFetcher(std::shared_ptr<detail::TransferEngine> engine, URLRequest request,
                               std::string userAgent, std::chrono::milliseconds timeout,
                               platform::DispatchQueuePtr callbackQueue)
    : engine_(std::move(engine)),
      request_(std::move(request)),
      userAgent_(std::move(userAgent)),
      timeout_(timeout),
      callbackQueue_(std::move(callbackQueue)) {}

void SessionFetcher::beginFetch(FetchCompletion completion) {
  if (!completion) throw Exception(kInvalidArgumentException, "A fetch needs a completion.");
  if (begun_) throw Exception(kInvalidArgumentException, "A fetcher is begun only once.");
  if (!isHttpUrl(request_.url)) {
    throw Exception(kInvalidArgumentException, "A fetcher needs an http or https URL.");
  }
  begun_ = true;
  auto transfer = std::make_unique<detail::Transfer>();
  transfer->completion = std::move(completion);
  transfer->queue = callbackQueue_;
  transfer->easy = curl_easy_init();
  if (!transfer->easy) {
    transfer->complete(std::nullopt,
                       std::make_shared<Error>(kFetcherNetworkErrorDomain, CURLE_FAILED_INIT,
                                               "cannot start the transfer"));
    return;
  }
  CURL* easy = transfer->easy;
  curl_easy_setopt(easy, CURLOPT_URL, request_.url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, prepareTlsContext);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, transfer.get());
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_.count()));
  curl_easy_setopt(
      easy, CURLOPT_CONNECTTIMEOUT_MS,
      static_cast<long>(std::min<std::chrono::milliseconds>(timeout_, kMaxConnectTimeout).count()));
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorText);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
  if (safeHeaderText(userAgent_) && !userAgent_.empty()) {
    curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent_.c_str());
  }
  if ((transfer->resolve = resolveOverride(request_.url))) {
    curl_easy_setopt(easy, CURLOPT_RESOLVE, transfer->resolve);
  }
  for (const auto& [name, value] : request_.headers) {
    if (name.empty() || !safeHeaderText(name) || !safeHeaderText(value)) continue;
    transfer->headers = curl_slist_append(transfer->headers, (name + ": " + value).c_str());
  }
  // No "100 continue" round trip before a body.
  transfer->headers = curl_slist_append(transfer->headers, "Expect:");
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);
  const std::string method = request_.method.empty() ? (body_ ? "POST" : "GET") : request_.method;
  if (body_ || method == "POST") {
    transfer->body = body_.value_or("");
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer->body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(transfer->body.size()));
  }
  if (method != "GET" && method != "POST") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  transfer->repeatable = idempotent(method);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, beforeEachSend);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, transfer.get());
  engine_->add(std::move(transfer));
}

std::shared_ptr<SessionFetcherService> SessionFetcherService::create() {
  return std::shared_ptr<SessionFetcherService>(new SessionFetcherService());
}

SessionFetcherService::SessionFetcherService() : callbackQueue_(platform::DispatchQueue::main()) {
  initializeCurlOnce();
  engine_ = std::make_shared<detail::TransferEngine>();
}

SessionFetcherService::~SessionFetcherService() = default;

void SessionFetcherService::setUserAgent(std::string userAgent) {
  std::lock_guard lock(mutex_);
  userAgent_ = std::move(userAgent);
}

void SessionFetcherService::setCallbackQueue(platform::DispatchQueuePtr queue) {
  std::lock_guard lock(mutex_);
  callbackQueue_ = queue ? std::move(queue) : platform::DispatchQueue::main();
}

void SessionFetcherService::setTimeout(std::chrono::milliseconds timeout) {
  std::lock_guard lock(mutex_);
  timeout_ = timeout.count() > 0 ? timeout : kDefaultFetchTimeout;
}

SessionFetcherPtr SessionFetcherService::fetcherWithRequest(URLRequest request) {
  std::lock_guard lock(mutex_);
  return SessionFetcherPtr(
      new SessionFetcher(engine_, std::move(request), userAgent_, timeout_, callbackQueue_));
}

size_t SessionFetcherService::connectionsOpened() const { return engine_->connectionsOpened(); }

}  // namespace dz::toolbox
