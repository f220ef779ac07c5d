// Device: one simulated device of the demo, holding a persistent connection to the database the
// way a phone running the app would. It prints what happens to it as lines on standard output
// ("device B: received /polls/p1 {...}") and counts it, both on the main queue, so main() can
// wait for each step with RunLoop::main().runUntil. The connection itself lives on the database's
// work queue. Made and used on the main thread; owned by main().
#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <memory>
#include <string>

#include "database/core/database_config.h"
#include "database/core/persistent_connection.h"
#include "database/utilities/repo_info.h"

namespace dz::demo {

class Device : public database::PersistentConnectionDelegate,
               public std::enable_shared_from_this<Device> {
 public:
  // What the device has seen so far; changed on the main queue only.
  struct Counts {
    int connects = 0;
    int disconnects = 0;
    int pushes = 0;
    int listenReplies = 0;
    int writeReplies = 0;
    int failures = 0;  // replies other than "ok"
  };

  // The connection stays offline until connect().
  static std::shared_ptr<Device> create(std::string name, database::RepoInfoPtr repoInfo,
                                        database::DatabaseConfigPtr config);
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  void connect();
  void listen(const std::string& path);
  void put(const std::string& path, boost::json::value data);
  void merge(const std::string& path, boost::json::object children);
  // Ends the connection without reporting it as dropped; waits for the work queue to let it go.
  void close();

  const std::string& name() const { return name_; }
  const Counts& counts() const { return counts_; }

  // PersistentConnectionDelegate (work queue)
  void onDataUpdate(database::PersistentConnection*, const std::string& pathString,
                    const boost::json::value& message, bool isMerge,
                    std::optional<int64_t> tagId) override;
  void onRangeMerge(const std::vector<database::RangeMerge>&, const std::string&,
                    std::optional<int64_t>) override {}
  void onConnect(database::PersistentConnection*) override;
  void onDisconnect(database::PersistentConnection*) override;
  void onServerInfoUpdate(database::PersistentConnection*, const Value::Map&) override {}

 private:
  explicit Device(std::string name) : name_(std::move(name)) {}
  // Prints `line` and counts it under `counter` (and as a failure when `failed`), on the main
  // queue, in the order the reports were made.
  void report(int Counts::*counter, std::string line, bool failed = false);
  database::WriteCallback writeReport(std::string what);
  void onWorkQueue(std::function<void(database::PersistentConnection&)> task);

  const std::string name_;
  Counts counts_;                                               // main queue
  std::shared_ptr<database::PersistentConnection> connection_;  // work queue
};

}  // namespace dz::demo
