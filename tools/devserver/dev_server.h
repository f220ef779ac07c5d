// DevServer: the local development server's database, running in-process on threads of its own
// (one for timers and the test API, a few for the connections). It plays the hosted realtime
// database on 127.0.0.1 over WebSocket (plain, or TLS with a CA and certificate made at start),
// keeps the tree with the project's own node and hash code, and offers (through its database
// service) the controls tests need to make it misbehave.
//
// Made by start(); every method may be called from any thread except the server's own (callbacks
// never run user code there). The destructor stops the server. Owned by its creator.
#pragma once

#include <boost/json/value.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/devserver/auth_service.h"
#include "tools/devserver/database_service.h"
#include "tools/devserver/update_service.h"

namespace dz::devserver {

// The domain of the host names tests and the demo give the server ("<ns>.dz.test").
inline constexpr char kTestDomain[] = "dz.test";

struct Options {
  uint16_t port = 0;  // 0 picks a free port
  bool tls = false;
  // The namespace of connections that name none, and of the data methods' default.
  std::string defaultNamespace = "ns";
  // Names on the TLS certificate (127.0.0.1 is always on it).
  std::vector<std::string> hostNames = {"*.dz.test", "localhost"};
  // Where the CA certificate is written; empty makes a temporary folder removed at stop.
  std::filesystem::path certificateFolder;
  // The server's clock in milliseconds since 1970; the system clock when unset.
  std::function<int64_t()> clockMs;
  std::chrono::milliseconds keepAliveInterval = std::chrono::seconds(45);
  // Logs every message to standard error.
  bool verbose = false;
  // Threads that run the connections (reading, requests, writing, TLS); 0 picks two.
  unsigned connectionThreads = 0;
  // Runs on a connection's thread after each of its messages was handled, with the state lock
  // released: a test holds one connection's thread there while another connection writes.
  std::function<void(uint64_t connectionId)> afterMessage;
  // Also serves the authentication endpoints over HTTPS (authHost()), and "auth" requests must
  // then carry an access token they issued (see docs/devserver.md).
  bool auth = false;
  AuthSettings authSettings;
  // Also serves the application's update documents over HTTPS (updateServerUrl()).
  bool updates = false;
  UpdateSettings updateSettings;
};

class DevServer {
 public:
  // Starts listening and serving. Throws dz::Exception when the port cannot be bound or the
  // certificates cannot be made.
  static std::unique_ptr<DevServer> start(Options options = {});
  ~DevServer();
  DevServer(const DevServer&) = delete;
  DevServer& operator=(const DevServer&) = delete;

  // Drops every connection and stops the thread; later calls do nothing.
  void stop();

  uint16_t port() const { return port_; }
  bool tls() const { return options_.tls; }
  // The CA certificate (PEM) a client must trust; empty for a plain server without auth.
  const std::filesystem::path& caFile() const { return caFile_; }
  // The database URL a client is given: "http[s]://<ns>.dz.test:<port>".
  std::string databaseUrl(const std::string& ns = {}) const;

  // ---- Data (an empty namespace is the default one). Writes reach listeners as pushes. ----
  void set(const std::string& path, const boost::json::value& data, const std::string& ns = {});
  // Like set, with the data as JSON text; throws dz::Exception for malformed text.
  void setJson(const std::string& path, std::string_view json, const std::string& ns = {});
  // The data at `path` in wire form (priorities kept); null where there is none.
  boost::json::value snapshot(const std::string& path = "/", const std::string& ns = {}) const;
  std::string hash(const std::string& path, const std::string& ns = {}) const;

  // The database's test controls (deny a path, delay or withhold replies, drop connections, send
  // given messages...), callable from any thread; see DatabaseService.
  DatabaseService& databaseService() const { return *service_; }

  // ---- Authentication (with Options::auth) ----
  // "auth.dz.test:<port>": the host of both the identity-toolkit and the token endpoints.
  std::string authHost() const;
  // Its controls; null without Options::auth.
  AuthService* authService() const { return authService_.get(); }

  // ---- Update documents (with Options::updates) ----
  // "https://updates.dz.test:<port>".
  std::string updateServerUrl() const;
  // Its controls; null without Options::updates.
  UpdateService* updateService() const { return updateService_.get(); }

  // ---- Counters ----
  size_t connectionCount() const { return service_->openConnections(); }
  size_t acceptedConnections() const { return service_->acceptedConnections(); }
  size_t requestCount(const std::string& action = {}) const {
    return service_->requestCount(action);
  }
  std::vector<ReceivedRequest> requests() const { return service_->requests(); }
  std::vector<AcceptedConnection> acceptedConnectionLog() const {
    return service_->acceptedConnectionLog();
  }
  // Waits until `condition` holds, checking it again after every connection, request and close;
  // false when `timeout` passed first.
  bool waitUntil(const std::function<bool()>& condition,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  struct Runtime;
  explicit DevServer(Options options);
  // Runs `task` on the server's thread and waits for it; nothing once stopped.
  void onServer(std::function<void()> task) const;

  Options options_;
  std::unique_ptr<Runtime> runtime_;
  std::shared_ptr<DatabaseService> service_;
  std::shared_ptr<AuthService> authService_;
  uint16_t authPort_ = 0;
  std::shared_ptr<UpdateService> updateService_;
  uint16_t updatePort_ = 0;
  uint16_t port_ = 0;
  std::filesystem::path caFile_;
  // Removes the folder the server made for its certificates, also when the constructor throws
  // after making it.
  struct RemoveFolder {
    void operator()(const std::filesystem::path* folder) const;
  };
  std::unique_ptr<const std::filesystem::path, RemoveFolder> temporaryFolder_;
};

}  // namespace dz::devserver
