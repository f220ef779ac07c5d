// Random interleavings of everything that can reach the persistent connection: the repository's
// calls, token answers (late, failed, twice), readies, replies (good, refused, malformed, for old
// connections), pushes, drops, interrupts, network and foreground triggers, time. Nothing may
// throw, no write completion may run twice, an unlistened listen hears nothing more, and a purge
// completes every write still pending.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "tests/database/core/persistent_connection_fixture.h"

namespace dz::database::testing {
namespace {

using State = PersistentConnection::State;
using std::chrono::milliseconds;

class PersistentConnectionRandomTest : public PersistentConnectionTest {
 protected:
  // Runs `step` on the work queue; an exception is a failure of the connection.
  void run(const std::string& what, const std::function<void()>& step) {
    onQueue([&] {
      try {
        step();
      } catch (const std::exception& e) {
        ADD_FAILURE() << what << " threw: " << e.what();
      }
    });
  }
  WriteCallback write(int id) {
    writesMade_.insert(id);
    return [this, id](const WriteResult&) {
      if (++writeCalls_[id] > 1) ADD_FAILURE() << "write " << id << " completed twice";
    };
  }
  // A listen hears every reply to it (one per connection) and its revocation, but nothing once
  // it has been unlistened.
  ListenCallback listenCallback(int id) {
    return [this, id](const ErrorPtr&) {
      if (unlistened_.contains(id)) ADD_FAILURE() << "listen " << id << " called after unlisten";
    };
  }

  std::set<int> writesMade_;
  std::map<int, int> writeCalls_;
  std::set<int> unlistened_;
};

TEST_F(PersistentConnectionRandomTest, NoInterleavingThrowsLosesOrRepeatsACompletion) {
  tokens_->autoAnswer = false;
  const std::vector<QuerySpec> queries = {QuerySpec::defaultQueryAtPath(Path("/a")),
                                          QuerySpec::defaultQueryAtPath(Path("/a/b")),
                                          QuerySpec::defaultQueryAtPath(Path("/c"))};
  const std::vector<std::string> statuses = {"ok", "ok", "ok", "permission_denied", "expired_token",
                                             ""};
  const std::vector<std::string> pushes = {
      R"({"a":"d","b":{"p":"/a","d":{"x":1}}})",
      R"({"a":"m","b":{"p":"/a","d":{"y":2}}})",
      R"({"a":"c","b":{"p":"/a"}})",
      R"({"a":"ac","b":{"s":"expired_token","d":"old"}})",
      R"({"a":"sd","b":{"msg":"a\nb"}})",
      R"({"a":"rm","b":{"p":"/a","d":[{"s":"k","m":{"k":1}}]}})",
      R"({"error":"overloaded"})",
      R"({"r":1})",
      R"({"a":"d","b":{"p":"/a"}})",
  };
  std::mt19937 random(20261207);
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  std::map<std::string, int> listenIds;  // by query description
  // Requests of each connection answered so far.
  std::map<size_t, std::set<int64_t>> answered;
  int nextId = 0;

  run("open", [&] { connection_->open(); });
  for (int step = 0; step < 4000; ++step) {
    switch (pick(16)) {
      case 0:
        run("token", [&] {
          // The provider is touched on the work queue only.
          if (tokens_->pending.empty()) return;
          switch (pick(4)) {
            case 0:
              tokens_->answer(std::nullopt, std::make_shared<Error>("auth", 1, "offline"));
              break;
            case 1:
              tokens_->answer(std::nullopt);
              break;
            default:
              tokens_->answer(std::string("token-") + std::to_string(step));
          }
        });
        break;
      case 1:
        if (!connections_.empty()) {
          // Mostly the current connection; sometimes an older one.
          size_t index = pick(4) ? connections_.size() - 1 : pick(connections_.size());
          run("ready", [&] { connections_[index]->ready(1.7e12, "s" + std::to_string(step)); });
        }
        break;
      case 2:
      case 3:
      case 4:
        if (!connections_.empty()) {
          size_t index = pick(5) ? connections_.size() - 1 : pick(connections_.size());
          auto& connection = *connections_[index];
          std::vector<int64_t> open;
          for (const auto& request : connection.requests) {
            int64_t number = request.at("r").as_int64();
            if (!answered[index].contains(number)) open.push_back(number);
          }
          if (open.empty()) break;
          int64_t number = open[pick(open.size())];
          answered[index].insert(number);
          std::string status = statuses[pick(statuses.size())];
          run("reply", [&] {
            if (status.empty()) {
              connection.message(R"({"r":)" + std::to_string(number) + "}");
            } else {
              connection.reply(number, status);
            }
          });
        }
        break;
      case 5:
        if (!connections_.empty() && pick(3) == 0) {
          auto reason = pick(3) ? ConnectionCloseReason::Other : ConnectionCloseReason::ServerReset;
          run("drop", [&] { realtime().drop(reason); });
        }
        break;
      case 6:
        if (!connections_.empty()) {
          std::string push = pushes[pick(pushes.size())];
          run("push", [&] { realtime().message(push); });
        }
        break;
      case 7:
        run("interrupt", [&] {
          if (pick(2)) {
            connection_->interruptForReason(kInterruptRepo);
          } else {
            connection_->resumeForReason(kInterruptRepo);
          }
        });
        break;
      case 8:
        run("token change", [&] {
          connection_->refreshAuthToken(pick(3) ? std::optional<std::string>("handed-over")
                                                : std::nullopt);
        });
        break;
      case 9:
        if (pick(2)) {
          reachability_.setReachable(false);
          reachability_.setReachable(true);
        } else {
          notifications_.post("UIApplicationWillEnterForegroundNotification");
        }
        flush();
        break;
      case 10: {
        const QuerySpec& query = queries[pick(queries.size())];
        int id = nextId++;
        run("listen", [&] {
          // Revocations and refusals remove listens behind the test's back.
          auto current = connection_->dumpListens();
          bool known = std::find(current.begin(), current.end(), query) != current.end();
          if (known) {
            unlistened_.insert(listenIds[query.description()]);
            connection_->unlisten(query, std::nullopt);
          } else {
            listenIds[query.description()] = id;
            connection_->listen(query, std::nullopt, nullptr, listenCallback(id));
          }
        });
        break;
      }
      case 11:
      case 12: {
        int id = nextId++;
        run("write", [&] {
          switch (pick(4)) {
            case 0:
              connection_->mergeData(CompoundWrite().addWrite(Path("k"), valueNode(id)), "/w",
                                     write(id));
              break;
            case 1:
              connection_->putData(valueNode(id), "/t", std::string("hash"), write(id));
              break;
            case 2:
              connection_->onDisconnectPutData(valueNode(id), Path("/od"), write(id));
              break;
            default:
              connection_->putData(valueNode(id), "/w/" + std::to_string(id), std::nullopt,
                                   write(id));
          }
        });
        break;
      }
      case 13:
        if (pick(8) == 0) run("purge", [&] { connection_->purgeOutstandingWrites(); });
        break;
      default:
        advance(milliseconds(pick(3) ? pick(2000) : pick(40000)));
    }
  }
  // Everything not yet answered is completed by a purge, apart from on-disconnect operations that
  // are out on the current connection and wait for its reply.
  run("final drop", [&] {
    if (!connections_.empty()) realtime().drop();
    connection_->purgeOutstandingWrites();
  });
  for (int id : writesMade_) EXPECT_EQ(writeCalls_[id], 1) << "write " << id;
  EXPECT_GT(connections_.size(), 10u);
}

}  // namespace
}  // namespace dz::database::testing
