// Any text the server can send, frame by frame, through the whole connection stack above the
// socket: the session's joining, the connection's envelope and handshake, and the persistent
// connection's replies, pushes and drops, with listens, writes and on-disconnect operations
// pending. Nothing may throw (into the caller or a queue), no completion may run twice, and a
// purge completes every write still pending. Each frame also goes through the checks of
// server_message_checks.h, and the data that reaches the repository is stored as data.
//
// Input: a flags byte, then one frame per line. Lines of one control byte act instead of
// sending: 0x01 the server closes the socket, 0x02 time moves on a minute (a reconnect),
// 0x03 the repository purges its writes, 0x04 / 0x05 interrupt / resume the connection.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "database/core/persistent_connection.h"
#include "database/realtime/connection.h"
#include "database/snapshot/index.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/repo_info.h"
#include "fuzz/server_message_checks.h"
#include "fuzz/support.h"
#include "platform/run_loop.h"
#include "platform/wall_clock.h"
#include "tests/database/realtime/fake_session_socket.h"

namespace dz::database {
namespace {

using fuzz::require;
using testing::FakeSocketFactory;

// Flags (the first byte).
constexpr uint8_t kWithToken = 1;      // the provider hands out a token: an auth request first
constexpr uint8_t kAutoHandshake = 2;  // each socket opens with a valid handshake
constexpr uint8_t kTaggedQuery = 4;    // a tagged query listen besides the default ones

constexpr char kHandshake[] =
    R"({"t":"c","d":{"t":"h","d":{"ts":1700000000000,"v":"5","h":"ns.dz.test","s":"s1"}}})";
constexpr char kInterruptReason[] = "fuzz";

class Tokens : public AuthTokenProvider {
 public:
  explicit Tokens(std::optional<std::string> token) : token_(std::move(token)) {}
  // Answered at once: the fetch runs on the work queue, where answers are taken in place.
  void fetchTokenForcingRefresh(bool, TokenCallback callback) override {
    callback(token_, nullptr);
  }
  TokenListenerRegistrationPtr listenForTokenChanges(TokenChangeListener) override {
    return std::make_unique<TokenListenerRegistration>();
  }

 private:
  std::optional<std::string> token_;
};

// Stores what arrives as the repository does, and checks that it is data.
struct Delegate : PersistentConnectionDelegate {
  void onDataUpdate(PersistentConnection*, const std::string& pathString, PushedData message,
                    bool isMerge, std::optional<int64_t> tag) override {
    auto* merge = std::get_if<CompoundWrite>(&message);
    require(isMerge == (merge != nullptr), "a merge flag that disagrees with its data");
    if (merge) return fuzz::checkStoredAsData(MergePush{pathString, tag, std::move(*merge)});
    fuzz::checkStoredAsData(DataPush{pathString, tag, std::get<NodePtr>(std::move(message))});
  }
  void onRangeMerge(const std::vector<RangeMerge>& ranges, const std::string& pathString,
                    std::optional<int64_t> tag) override {
    fuzz::checkStoredAsData(RangeMergePush{pathString, tag, ranges});
  }
  void onConnect(PersistentConnection*) override {}
  void onDisconnect(PersistentConnection*) override {}
  void onServerInfoUpdate(PersistentConnection*, const Value::Map&) override {}
};

struct FixedHash : SyncTreeHash {
  std::string simpleHash() const override { return "hash"; }
  CompoundHash compoundHash() const override { return {}; }
  bool includeCompoundHash() const override { return false; }
};

NodePtr nodeOf(std::string_view json) {
  return SnapshotUtilities::nodeFrom(*Value::parseJson(json));
}

class World {
 public:
  explicit World(uint8_t flags) : flags_(flags) {
    fuzz::scratchFolder();  // the sandbox root, for the repository's host cache
    platform::setWallClockSource([] { return 1.7e9; });
    repoInfo_ = RepoInfo::create("ns.dz.test", true, "ns");
    PersistentConnection::Dependencies dependencies;
    dependencies.connectionFactory = Connection::factory({scheduler_, sockets_.factory()});
    dependencies.scheduler = scheduler_;
    dependencies.random = [] { return 0.0; };
    dependencies.reachability = &reachability_;
    dependencies.notificationCenter = &notifications_;
    std::optional<std::string> token;
    if (flags & kWithToken) token = "token";
    auto config = DatabaseConfig::create("fuzz", std::make_shared<Tokens>(token));
    onQueue([&] {
      // A redirect an earlier input received must not steer this one.
      if (repoInfo_->internalHost() != "ns.dz.test") repoInfo_->clearInternalHostCache();
      connection_ = PersistentConnection::create(repoInfo_, queue_, config, dependencies);
      connection_->setDelegate(delegate_);
      registerRequests();
      connection_->open();
    });
    socketOpens();
  }

  ~World() {
    if (std::getenv("DZ_FUZZ_LOG")) {
      for (const auto& socket : *sockets_.sockets) {
        for (const std::string& frame : socket->sent) std::cerr << "client sent " << frame << "\n";
      }
    }
    onQueue([&] { connection_->purgeOutstandingWrites(); });
    for (const auto& [id, calls] : writeCalls_) {
      require(calls == 1 || (calls == 0 && id >= kFirstOnDisconnect),
              "a purge left a write pending");
    }
    onQueue([&] { connection_.reset(); });
    onQueue([] {});
  }

  void step(const std::string& line) {
    if (line == "\x01") {
      onQueue([&] { sockets_.last().serverCloses(); });
    } else if (line == "\x02") {
      size_t before = sockets_.count();
      scheduler_->advance(std::chrono::minutes(1));
      onQueue([] {});
      if (sockets_.count() > before) socketOpens();
    } else if (line == "\x03") {
      onQueue([&] { connection_->purgeOutstandingWrites(); });
    } else if (line == "\x04") {
      onQueue([&] { connection_->interruptForReason(kInterruptReason); });
    } else if (line == "\x05") {
      onQueue([&] { connection_->resumeForReason(kInterruptReason); });
    } else {
      fuzz::checkServerMessage(line, line.size() / 2);
      onQueue([&] { sockets_.last().serverSends(line); });
    }
  }

 private:
  static constexpr int kFirstOnDisconnect = 100;

  // Runs `task` on the work queue, then whatever it queued. The work queue is the main queue,
  // drained right here: no thread hand-offs, so a run costs what the connection's work costs.
  void onQueue(const std::function<void()>& task) {
    bool done = false;
    queue_->async([&] {
      try {
        task();
      } catch (const std::exception& e) {
        require(false, std::string("the connection threw: ") + e.what());
      }
      done = true;
    });
    platform::RunLoop& loop = platform::RunLoop::main();
    require(loop.runUntil([&] { return done; }, std::chrono::seconds(30)), "the work queue hangs");
    while (loop.runOnce(platform::Duration::zero())) {
    }
  }

  void socketOpens() {
    onQueue([&] {
      if (sockets_.count() == 0) return;
      sockets_.last().serverOpens();
      if (flags_ & kAutoHandshake) sockets_.last().serverSends(kHandshake);
    });
  }

  WriteCallback write(int id) {
    writeCalls_[id] = 0;
    return [this, id](const WriteResult&) {
      require(++writeCalls_[id] == 1, "a write completed twice");
    };
  }

  void registerRequests() {
    auto hash = std::make_shared<FixedHash>();
    auto ignore = [](const ErrorPtr&) {};
    connection_->listen(QuerySpec::defaultQueryAtPath(Path("/a")), std::nullopt, hash, ignore);
    connection_->listen(QuerySpec::defaultQueryAtPath(Path("/b/c")), std::nullopt, hash, ignore);
    if (flags_ & kTaggedQuery) {
      QueryParams params =
          QueryParams::defaultInstance().orderBy(PathIndex::create(Path("n"))).limitToFirst(2);
      connection_->listen(QuerySpec(Path("/q"), params), 7, hash, ignore);
    }
    connection_->putData(nodeOf(R"({"x":1})"), "/a/x", std::nullopt, write(1));
    connection_->putData(nodeOf("2"), "/a/y", std::string("hash"), write(2));
    connection_->mergeData(CompoundWrite::compoundWriteWithValueDictionary(
                               Value::parseJson(R"({"k":2,"l/m":null})")->asMap()),
                           "/c", write(3));
    connection_->onDisconnectPutData(nodeOf("true"), Path("/d"), write(kFirstOnDisconnect));
    connection_->onDisconnectCancelPath(Path("/e"), write(kFirstOnDisconnect + 1));
  }

  const uint8_t flags_;
  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::main();
  std::shared_ptr<platform::ManualScheduler> scheduler_ = platform::ManualScheduler::create();
  platform::Reachability reachability_;
  platform::NotificationCenter notifications_;
  FakeSocketFactory sockets_;
  RepoInfoPtr repoInfo_;
  std::shared_ptr<Delegate> delegate_ = std::make_shared<Delegate>();
  std::shared_ptr<PersistentConnection> connection_;
  std::map<int, int> writeCalls_;
};

}  // namespace
}  // namespace dz::database

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  dz::database::World world(data[0]);
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t start = 0;
  for (size_t end = 0; start <= text.size(); start = end + 1) {
    end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    world.step(std::string(text.substr(start, end - start)));
  }
  return 0;
}
