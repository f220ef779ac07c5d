#include "programs/demo_device.h"

#include <boost/json/serialize.hpp>
#include <iostream>

#include "database/snapshot/path.h"
#include "database/snapshot/query_spec.h"
#include "database/utilities/work_queue.h"
#include "platform/dispatch_queue.h"

namespace dz::demo {

using database::PersistentConnection;

constexpr char kStatusOk[] = "ok";
// Makes the demo's interrupt tell apart from the connection's own reasons in debug logs.
constexpr char kInterruptDemoDone[] = "demo_done";

std::shared_ptr<Device> Device::create(std::string name, database::RepoInfoPtr repoInfo,
                                       database::DatabaseConfigPtr config) {
  std::shared_ptr<Device> device(new Device(std::move(name)));
  database::workQueue()->sync([&] {
    device->connection_ =
        PersistentConnection::create(std::move(repoInfo), database::workQueue(), std::move(config));
    device->connection_->setDelegate(device);
  });
  return device;
}

void Device::connect() {
  onWorkQueue([](PersistentConnection& connection) { connection.open(); });
}

void Device::listen(const std::string& path) {
  std::weak_ptr<Device> weakSelf = weak_from_this();
  onWorkQueue([path, weakSelf](PersistentConnection& connection) {
    connection.listen(database::QuerySpec::defaultQueryAtPath(database::Path(path)), std::nullopt,
                      nullptr, [path, weakSelf](const std::string& status) {
                        if (auto self = weakSelf.lock()) {
                          self->report(&Counts::listenReplies,
                                       "listening at " + path + " -> " + status,
                                       status != kStatusOk);
                        }
                      });
  });
}

void Device::put(const std::string& path, boost::json::value data) {
  auto onComplete = writeReport("put " + path);
  onWorkQueue([=, data = std::move(data)](PersistentConnection& connection) {
    connection.putData(data, path, std::nullopt, onComplete);
  });
}

void Device::merge(const std::string& path, boost::json::object children) {
  auto onComplete = writeReport("merge " + path);
  onWorkQueue([=, children = std::move(children)](PersistentConnection& connection) {
    connection.mergeData(children, path, onComplete);
  });
}

void Device::close() {
  database::workQueue()->sync([this] {
    if (!connection_) return;
    connection_->setDelegate({});
    connection_->interruptForReason(kInterruptDemoDone);
    connection_.reset();
  });
}

void Device::onDataUpdate(PersistentConnection*, const std::string& pathString,
                          const boost::json::value& message, bool isMerge, std::optional<int64_t>) {
  // The server names paths in wire form ("polls/p1").
  report(&Counts::pushes, std::string("received ") + (isMerge ? "merge " : "") +
                              database::Path(pathString).toString() + " " +
                              boost::json::serialize(message));
}

void Device::onConnect(PersistentConnection*) { report(&Counts::connects, "connected"); }

void Device::onDisconnect(PersistentConnection*) {
  report(&Counts::disconnects, "connection dropped; reconnecting...");
}

void Device::report(int Counts::*counter, std::string line, bool failed) {
  std::weak_ptr<Device> weakSelf = weak_from_this();
  platform::DispatchQueue::main()->async([weakSelf, counter, line = std::move(line), failed] {
    auto self = weakSelf.lock();
    if (!self) return;
    ++(self->counts_.*counter);
    if (failed) ++self->counts_.failures;
    bool again = counter == &Counts::connects && self->counts_.connects > 1;
    std::cout << "device " << self->name_ << ": " << line << (again ? " again" : "") << std::endl;
  });
}

database::WriteCallback Device::writeReport(std::string what) {
  std::weak_ptr<Device> weakSelf = weak_from_this();
  return [weakSelf, what = std::move(what)](const std::string& status,
                                            const std::optional<std::string>& reason) {
    auto self = weakSelf.lock();
    if (!self) return;
    std::string line = what + " -> " + status;
    if (reason) line += " (" + *reason + ")";
    self->report(&Counts::writeReplies, std::move(line), status != kStatusOk);
  };
}

void Device::onWorkQueue(std::function<void(PersistentConnection&)> task) {
  std::weak_ptr<Device> weakSelf = weak_from_this();
  database::workQueue()->async([weakSelf, task = std::move(task)] {
    auto self = weakSelf.lock();
    if (self && self->connection_) task(*self->connection_);
  });
}

}  // namespace dz::demo
