// The poll application's feed against the development server on 127.0.0.1, with 1,000 polls of
// one domain in the 48-hour window:
// - after sign-in, the time until the poll store's cache holds every poll (a community-feed query
//   and one value observer per poll), beside one plain value read of the same polls on a fresh
//   client measured in the same run;
// - one vote at a time by one user: the time until both other users' caches show the new count,
//   beside a plain write that the same two clients observe.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/json/parse.hpp>
#include <chrono>
#include <vector>

#include "app/poll_storage.h"
#include "app/user_storage.h"
#include "auth/rpc/requests.h"
#include "platform/file_manager.h"
#include "platform/resolver.h"
#include "platform/run_loop.h"
#include "platform/wall_clock.h"
#include "tools/devserver/dev_server.h"

namespace {

using dz::Value;
using pollapp::Environment;
using Clock = std::chrono::steady_clock;

constexpr int kPolls = 1000;
constexpr char kDomain[] = "school.edu";
constexpr auto kWait = std::chrono::seconds(120);

bool pump(const std::function<bool()>& done) {
  return dz::platform::RunLoop::main().runUntil(done, kWait);
}

double microsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double percentile(std::vector<double> samples, double p) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<size_t>(p * (samples.size() - 1))];
}

// The server, with the users signed up once and the polls written directly into its tree. Ends
// at exit, and with it the server's certificate folder.
struct World {
  std::unique_ptr<dz::devserver::DevServer> server;
  std::vector<std::string> emails = {"ann@school.edu", "bo@school.edu", "dee@school.edu"};

  World() {
    dz::devserver::Options options;
    options.auth = true;
    server = dz::devserver::DevServer::start(options);
    setenv("DZ_CA_FILE", server->caFile().c_str(), 1);
    dz::platform::Resolver::setOverride("auth.dz.test", "127.0.0.1");
    dz::platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
    dz::auth::IdentityKitRequest::setHost(server->authHost());
    dz::auth::SecureTokenRequest::setHost(server->authHost());
  }
};

World& world() {
  static World shared;
  return shared;
}

// One signed-in user's device.
struct Device {
  Environment environment;
  std::shared_ptr<pollapp::UserStorage> users;
  std::shared_ptr<pollapp::PollStorage> polls;

  ~Device() {
    polls.reset();
    users.reset();
    dz::database::Database::databaseForApp(environment.app)->goOffline();
    environment.app->deleteApp();
  }
};

std::unique_ptr<Device> signIn(const std::string& email, bool create) {
  static int next = 0;
  const std::string name = "bench-app-" + std::to_string(next++);
  dz::core::Options options;
  options.databaseURL = world().server->databaseUrl();
  options.APIKey = "bench-key";
  options.vivuroAppID = "1:dz:bench";
  dz::core::App::configure(name, options);
  auto device = std::make_unique<Device>();
  device->environment.app = dz::core::App::appNamed(name);
  device->environment.notificationCenter = std::make_shared<dz::platform::NotificationCenter>();
  device->environment.defaults = dz::platform::UserDefaults::create(
      dz::platform::FileManager::sandboxRoot() / (name + "-defaults.json"));
  bool done = false;
  auto finished = [&](dz::auth::UserPtr, dz::ErrorPtr) { done = true; };
  auto auth = device->environment.auth();
  if (create) {
    auth->createUserWithEmail(email, "secret-1", finished);
  } else {
    auth->signInWithEmail(email, "secret-1", finished);
  }
  if (!pump([&] { return done; }) || !auth->currentUser()) return nullptr;
  return device;
}

void setUpData() {
  static bool ready = false;
  if (ready) return;
  ready = true;
  auto& server = *world().server;
  std::vector<std::string> uids;
  for (const auto& email : world().emails) {
    auto device = signIn(email, true);
    uids.push_back(*device->environment.signedInUid());
  }
  boost::json::object users;
  for (size_t i = 0; i < uids.size(); ++i) {
    users[uids[i]] = {{"firstName", "User" + std::to_string(i)},
                      {"lastName", "Bench"},
                      {"domain", kDomain},
                      {"experiments", boost::json::object()}};
  }
  server.set("/users", users);
  const double now = dz::platform::wallClockSeconds();
  boost::json::object polls;
  for (int i = 0; i < kPolls; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "poll%05d", i);
    polls[key] = {{"sender", uids[i % uids.size()]},
                  {"question", "Question " + std::to_string(i)},
                  {"closed", false},
                  {"domain", kDomain},
                  {"type", "community"},
                  {"createdAt", now - 3600 + i},
                  {"options",
                   {{"a", {{"index", 0}, {"name", "yes"}, {"votes", 0}}},
                    {"b", {{"index", 1}, {"name", "no"}, {"votes", 0}}}}}};
  }
  server.set("/polls", polls);
}

// Creates the device's stores and follows the community feed.
void startFeed(Device& device) {
  device.users = pollapp::UserStorage::create(device.environment);
  device.polls = pollapp::PollStorage::create(device.environment, device.users);
  bool known = false;
  device.users->fetchOrGetCurrentUserWithCompletionBlock([&](pollapp::UserPtr) { known = true; });
  pump([&] { return known; });
  device.polls->fetchRecentPollsForCommunity();
}

void BM_FeedCompleteAfterSignIn(benchmark::State& state) {
  setUpData();
  std::vector<double> feed, floor;
  for (auto _ : state) {
    state.PauseTiming();
    auto device = signIn(world().emails[0], false);
    if (!device) return state.SkipWithError("sign-in failed");
    state.ResumeTiming();
    Clock::time_point start = Clock::now();
    startFeed(*device);
    if (!pump([&] { return device->polls->pollsArray().size() == kPolls; })) {
      return state.SkipWithError("feed incomplete");
    }
    feed.push_back(microsSince(start));
    state.PauseTiming();
    // The floor: the same polls read once by a fresh client.
    auto plain = signIn(world().emails[1], false);
    start = Clock::now();
    bool read = false;
    plain->environment.rootRef()
        .child("polls")
        .queryOrderedByChild("createdAt")
        .queryStartingAtValue(Value(dz::platform::wallClockSeconds() - 172800))
        .observeSingleEventOfType(dz::database::DataEventType::Value,
                                  [&](const dz::database::DataSnapshot& snapshot) {
                                    read = snapshot.childrenCount() == kPolls;
                                  });
    pump([&] { return read; });
    floor.push_back(microsSince(start));
    device.reset();
    plain.reset();
    state.ResumeTiming();
  }
  state.counters["feed_ms"] = percentile(feed, 0.5) / 1000;
  state.counters["plain_read_ms"] = percentile(floor, 0.5) / 1000;
  state.counters["ratio"] = percentile(feed, 0.5) / percentile(floor, 0.5);
}
BENCHMARK(BM_FeedCompleteAfterSignIn)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_VoteReachesEveryOtherCache(benchmark::State& state) {
  setUpData();
  std::vector<std::unique_ptr<Device>> devices;
  for (const auto& email : world().emails) {
    devices.push_back(signIn(email, false));
    if (!devices.back()) return state.SkipWithError("sign-in failed");
    startFeed(*devices.back());
  }
  for (auto& device : devices) {
    if (!pump([&] { return device->polls->pollsArray().size() == kPolls; })) {
      return state.SkipWithError("feed incomplete");
    }
  }
  auto count = [&](Device& device, const std::string& pollId) {
    auto poll = device.polls->pollForPollId(pollId);
    return poll ? poll->voteCount() : -1;
  };
  std::vector<double> votes, writes;
  size_t round = 0;
  for (auto _ : state) {
    // Each round votes on a poll nobody voted on yet.
    const std::string pollId = devices[0]->polls->pollsArray().at(round)->pollId();
    const int64_t expected = count(*devices[1], pollId) + 1;
    const pollapp::Option option = devices[0]->polls->pollForPollId(pollId)->optionsArray()[0];
    Clock::time_point start = Clock::now();
    devices[0]->polls->voteOnOption(option, nullptr);
    if (!pump([&] {
          return count(*devices[1], pollId) == expected && count(*devices[2], pollId) == expected;
        })) {
      return state.SkipWithError("vote not seen");
    }
    votes.push_back(microsSince(start));
    ++round;
  }
  // The floor: a plain write from the first device that the other two observe.
  int seen = 0;
  std::vector<dz::database::DatabaseQuery::Handle> handles;
  for (int i = 1; i < 3; ++i) {
    handles.push_back(devices[i]->environment.rootRef().child("ping").observeEventType(
        dz::database::DataEventType::Value, [&](const dz::database::DataSnapshot& s) {
          if (s.exists()) ++seen;
        }));
  }
  devices[0]->environment.rootRef().child("ping").setValue(Value(0));
  pump([&] { return seen >= 2; });
  for (int i = 0; i < 200; ++i) {
    int target = seen + 2;
    Clock::time_point start = Clock::now();
    devices[0]->environment.rootRef().child("ping").setValue(Value(i + 1));
    if (!pump([&] { return seen >= target; })) break;
    writes.push_back(microsSince(start));
  }
  state.counters["vote_p50_us"] = percentile(votes, 0.5);
  state.counters["vote_p99_us"] = percentile(votes, 0.99);
  if (!writes.empty()) {
    state.counters["write_p50_us"] = percentile(writes, 0.5);
    state.counters["ratio_p50"] = percentile(votes, 0.5) / percentile(writes, 0.5);
  }
}
BENCHMARK(BM_VoteReachesEveryOtherCache)->Iterations(300)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
