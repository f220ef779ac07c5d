#include "tools/devserver/dev_server.h"

#include <stdlib.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <condition_variable>
#include <future>
#include <thread>

#include "platform/exception.h"
#include "platform/log.h"
#include "platform/thread_annotations.h"
#include "tools/devserver/certificate_authority.h"
#include "tools/devserver/https_listener.h"
#include "tools/devserver/web_socket_listener.h"

namespace dz::devserver {
namespace {

namespace asio = boost::asio;

constexpr char kStartFailed[] = "DevServerStartFailed";
constexpr char kMalformedJson[] = "DevServerMalformedJson";
constexpr char kAuthorityName[] = "dz development server CA";
constexpr char kLoopbackAddress[] = "127.0.0.1";
// How long stop() lets the server's thread wind down before cutting its work short.
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr auto kStopPoll = std::chrono::milliseconds(100);

std::filesystem::path makeTemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dz-devserver-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw Exception(kStartFailed, "cannot make a temporary folder");
  return pattern;
}

std::shared_ptr<asio::ssl::context> tlsContext(const IssuedCertificate& certificate) {
  auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
  context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                       asio::ssl::context::no_tlsv1_1);
  context->use_certificate_chain(asio::buffer(certificate.certificatePem));
  context->use_private_key(asio::buffer(certificate.privateKeyPem), asio::ssl::context::pem);
  return context;
}

// Runs `io` until it has no more work; a handler that throws is logged and the loop goes on:
// nothing may end a server thread.
void runLogging(asio::io_context& io) {
  while (true) {
    try {
      io.run();
      return;
    } catch (const std::exception& e) {
      platform::logLine(std::string("devserver: ") + e.what());
    }
  }
}

// Threads for the peers' reading, request handling, writing and TLS, one io_context each so that
// a peer's work stays on one thread. Two by default: a push to another thread costs a wake-up,
// so more pay off only with many connections.
unsigned peerThreadCount(unsigned configured) { return configured > 0 ? configured : 2; }

}  // namespace

struct DevServer::Runtime {
  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
  struct PeerLoop {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
    std::thread thread;
  };
  std::vector<std::unique_ptr<PeerLoop>> peerLoops;
  std::shared_ptr<WebSocketListener> listener;
  std::shared_ptr<HttpsListener> authListener;
  std::shared_ptr<HttpsListener> updateListener;
  std::thread thread;
  std::thread::id threadId;
  std::future<void> finished;
  std::atomic<bool> ioDone{false};
  std::atomic<bool> stopped{false};

  platform::Mutex eventMutex;
  std::condition_variable_any eventChanged;
  uint64_t eventGeneration DZ_GUARDED_BY(eventMutex) = 0;

  void onEvent() {
    {
      platform::MutexLock lock(eventMutex);
      ++eventGeneration;
    }
    eventChanged.notify_all();
  }

  uint64_t generation() {
    platform::MutexLock lock(eventMutex);
    return eventGeneration;
  }

  // Whether an event came after generation `seen` by the deadline.
  bool waitForEvent(uint64_t seen, std::chrono::steady_clock::time_point deadline) {
    platform::MutexLock lock(eventMutex);
    while (eventGeneration == seen) {
      if (eventChanged.wait_until(eventMutex, deadline) == std::cv_status::timeout) {
        return eventGeneration != seen;
      }
    }
    return true;
  }
};

std::unique_ptr<DevServer> DevServer::start(Options options) {
  return std::unique_ptr<DevServer>(new DevServer(std::move(options)));
}

DevServer::DevServer(Options options) : options_(std::move(options)) {
  runtime_ = std::make_unique<Runtime>();
  std::shared_ptr<asio::ssl::context> tls;
  if (options_.tls || options_.auth || options_.updates) {
    std::filesystem::path folder = options_.certificateFolder;
    if (folder.empty()) {
      temporaryFolder_.reset(new std::filesystem::path(makeTemporaryFolder()));
      folder = *temporaryFolder_;
    }
    try {
      auto authority = CertificateAuthority::create(kAuthorityName);
      caFile_ = authority->writeCertificate(folder);
      std::vector<std::string> names = options_.hostNames;
      names.push_back(options_.defaultNamespace + "." + kTestDomain);
      tls = tlsContext(authority->issue(names, {kLoopbackAddress}));
    } catch (const boost::system::system_error& e) {
      throw Exception(kStartFailed, e.what());
    }
  }
  ServiceSettings settings;
  if (options_.auth) {
    if (!options_.authSettings.clockMs) options_.authSettings.clockMs = options_.clockMs;
    authService_ = std::make_shared<AuthService>(options_.authSettings);
    settings.checkCredential = [auth = authService_](const std::string& credential) {
      return auth->checkCredential(credential);
    };
  }
  settings.defaultNamespace = options_.defaultNamespace;
  settings.clockMs = options_.clockMs;
  settings.keepAliveInterval = options_.keepAliveInterval;
  settings.verbose = options_.verbose;
  settings.afterMessage = options_.afterMessage;
  Runtime* runtime = runtime_.get();
  service_ =
      DatabaseService::create(runtime->io, std::move(settings), [runtime] { runtime->onEvent(); });
  if (authService_) {
    runtime->authListener = HttpsListener::create(
        runtime->io, 0, tls,
        [auth = authService_](const HttpRequest& request, HttpResponder respond) {
          auth->handle(request, std::move(respond));
        });
    authPort_ = runtime->authListener->port();
    runtime->authListener->start();
  }
  if (options_.updates) {
    updateService_ = std::make_shared<UpdateService>(options_.updateSettings);
    runtime->updateListener = HttpsListener::create(
        runtime->io, 0, tls,
        [updates = updateService_](const HttpRequest& request, HttpResponder respond) {
          updates->handle(request, std::move(respond));
        });
    updatePort_ = runtime->updateListener->port();
    runtime->updateListener->start();
  }
  if (!options_.tls) tls = nullptr;
  std::vector<asio::io_context*> peerIos;
  for (unsigned i = 0; i < peerThreadCount(options_.connectionThreads); ++i) {
    runtime->peerLoops.push_back(std::make_unique<Runtime::PeerLoop>());
    peerIos.push_back(&runtime->peerLoops.back()->io);
  }
  runtime->listener = WebSocketListener::create(
      runtime->io, std::move(peerIos), options_.port, std::move(tls),
      [weak = std::weak_ptr<DatabaseService>(service_)](std::shared_ptr<Peer> peer,
                                                        const UpgradeRequest& request) {
        auto service = weak.lock();
        return service ? service->accept(std::move(peer), request) : nullptr;
      });
  runtime->listener->setPlainGetHandler(
      [weak = std::weak_ptr<DatabaseService>(service_)](const std::string& target) {
        auto service = weak.lock();
        return service ? service->readData(target) : std::nullopt;
      });
  port_ = runtime->listener->port();
  runtime->listener->start();
  std::promise<void> finished;
  runtime->finished = finished.get_future();
  runtime->thread = std::thread([runtime, finished = std::move(finished)]() mutable {
    runLogging(runtime->io);
    runtime->ioDone = true;
    finished.set_value();
  });
  for (auto& loop : runtime->peerLoops) {
    loop->thread = std::thread([io = &loop->io] { runLogging(*io); });
  }
  runtime->threadId = runtime->thread.get_id();
}

DevServer::~DevServer() { stop(); }

void DevServer::stop() {
  Runtime& runtime = *runtime_;
  if (runtime.stopped.exchange(true)) return;
  asio::post(runtime.io,
             [listener = runtime.listener, service = service_, authListener = runtime.authListener,
              updateListener = runtime.updateListener] {
               if (authListener) authListener->stop();
               if (updateListener) updateListener->stop();
               listener->stop();
               service->shutdown();
             });
  runtime.work.reset();
  if (runtime.finished.wait_for(kStopGrace) != std::future_status::ready) runtime.io.stop();
  runtime.thread.join();
  // Every peer was dropped above; what is left of their work ends with them.
  for (auto& loop : runtime.peerLoops) loop->work.reset();
  for (auto& loop : runtime.peerLoops) loop->thread.join();
  runtime.listener.reset();
  runtime.authListener.reset();
  runtime.updateListener.reset();
  temporaryFolder_.reset();
}

void DevServer::RemoveFolder::operator()(const std::filesystem::path* folder) const {
  std::error_code ignored;
  std::filesystem::remove_all(*folder, ignored);
  delete folder;
}

void DevServer::onServer(std::function<void()> task) const {
  Runtime& runtime = *runtime_;
  if (runtime.stopped) return;
  if (std::this_thread::get_id() == runtime.threadId) return task();
  auto packaged = std::make_shared<std::packaged_task<void()>>(std::move(task));
  std::future<void> done = packaged->get_future();
  asio::post(runtime.io, [packaged] { (*packaged)(); });
  // A stop() racing with this call may end the thread before the task runs.
  while (done.wait_for(kStopPoll) != std::future_status::ready) {
    if (runtime.ioDone) return;
  }
  done.get();
}

std::string DevServer::authHost() const {
  return std::string("auth.") + kTestDomain + ":" + std::to_string(authPort_);
}

std::string DevServer::updateServerUrl() const {
  return std::string("https://updates.") + kTestDomain + ":" + std::to_string(updatePort_);
}

std::string DevServer::databaseUrl(const std::string& ns) const {
  std::string name = ns.empty() ? options_.defaultNamespace : ns;
  return std::string(options_.tls ? "https" : "http") + "://" + name + "." + kTestDomain + ":" +
         std::to_string(port_);
}

void DevServer::set(const std::string& path, const boost::json::value& data,
                    const std::string& ns) {
  onServer([&] { service_->set(ns, database::Path(path), data); });
}

void DevServer::setJson(const std::string& path, std::string_view json, const std::string& ns) {
  auto data = parseJsonText(json);
  if (!data) throw Exception(kMalformedJson, "malformed JSON data");
  set(path, *data, ns);
}

boost::json::value DevServer::snapshot(const std::string& path, const std::string& ns) const {
  boost::json::value result;
  onServer([&] { result = service_->snapshot(ns, database::Path(path)); });
  return result;
}

std::string DevServer::hash(const std::string& path, const std::string& ns) const {
  std::string result;
  onServer([&] { result = service_->hash(ns, database::Path(path)); });
  return result;
}

bool DevServer::waitUntil(const std::function<bool()>& condition,
                          std::chrono::milliseconds timeout) const {
  Runtime& runtime = *runtime_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const uint64_t seen = runtime.generation();
    // Checked without the lock: the condition may call back into the server.
    if (condition()) return true;
    if (!runtime.waitForEvent(seen, deadline)) return condition();
  }
}

}  // namespace dz::devserver
