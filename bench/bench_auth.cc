// Authentication through libcurl to the development server's HTTPS endpoints on 127.0.0.1: the
// sign-in round trip (password check and account load, then the user stored in the key chain),
// the token refresh round trip, and sign-ins per second with many in flight over reused
// connections; the single calls and the key-chain store show where the round trips go. The floor is
// a bare HTTPS POST through the same fetcher to the same server; each figure is also given as a
// ratio to it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "auth/auth.h"
#include "auth/rpc/auth_backend.h"
#include "platform/resolver.h"
#include "platform/run_loop.h"
#include "tools/devserver/dev_server.h"

namespace {

using namespace dz;
using Clock = std::chrono::steady_clock;

constexpr char kAPIKey[] = "bench-key";
constexpr char kEmail[] = "bench@school.dz.test";
constexpr char kPassword[] = "bench-secret";
constexpr auto kWait = std::chrono::seconds(20);

bool pump(const std::function<bool()>& done) {
  return platform::RunLoop::main().runUntil(done, kWait);
}

// The server with one user signed up, and the app signed in as that user. Ends at exit, and with
// it the server's certificate folder.
struct World {
  std::unique_ptr<devserver::DevServer> server;
  core::AppPtr app;
  auth::AuthPtr auth;
  double floorMs = 0;

  World() {
    devserver::Options options;
    options.auth = true;
    options.authSettings.apiKey = kAPIKey;
    server = devserver::DevServer::start(options);
    setenv("DZ_CA_FILE", server->caFile().c_str(), 1);
    platform::Resolver::setOverride("auth.dz.test", "127.0.0.1");
    auth::IdentityKitRequest::setHost(server->authHost());
    auth::SecureTokenRequest::setHost(server->authHost());
    core::Options appOptions;
    appOptions.APIKey = kAPIKey;
    appOptions.vivuroAppID = "1:bench";
    core::App::configure("bench", appOptions);
    app = core::App::appNamed("bench");
    auth = auth::Auth::authWithApp(app);
    bool done = false;
    auth->createUserWithEmail(kEmail, kPassword, [&](auth::UserPtr, ErrorPtr) { done = true; });
    pump([&] { return done; });
  }
};

double percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[std::min(samples.size() - 1, static_cast<size_t>(fraction * samples.size()))];
}

void report(benchmark::State& state, const std::vector<double>& samples, double floorMs) {
  state.counters["p50_ms"] = percentile(samples, 0.5);
  state.counters["p99_ms"] = percentile(samples, 0.99);
  if (floorMs > 0) state.counters["p50_over_floor"] = percentile(samples, 0.5) / floorMs;
}

World& world() {
  static World instance;
  return instance;
}

// The floor: one HTTPS POST through a fetcher of its own to the same server.
void BM_HttpsPostFloor(benchmark::State& state) {
  World& w = world();
  auto service = toolbox::SessionFetcherService::create();
  service->setCallbackQueue(platform::DispatchQueue::create("bench.floor"));
  const std::string url = "https://" + w.server->authHost() + "/floor?key=" + kAPIKey;
  std::vector<double> samples;
  for (auto _ : state) {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    const auto start = Clock::now();
    auto fetcher = service->fetcherWithRequest({.url = url});
    fetcher->setBodyData("{}");
    fetcher->beginFetch([&](std::optional<std::string>, ErrorPtr) {
      std::lock_guard lock(mutex);
      done = true;
      changed.notify_all();
    });
    std::unique_lock lock(mutex);
    changed.wait_for(lock, kWait, [&] { return done; });
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  w.floorMs = percentile(samples, 0.5);
  report(state, samples, 0);
}
BENCHMARK(BM_HttpsPostFloor)->Iterations(300)->Unit(benchmark::kMillisecond);

void BM_SignInRoundTrip(benchmark::State& state) {
  World& w = world();
  std::vector<double> samples;
  for (auto _ : state) {
    bool done = false;
    const auto start = Clock::now();
    w.auth->signInWithEmail(kEmail, kPassword, [&](auth::UserPtr user, ErrorPtr error) {
      if (error || !user) state.SkipWithError("sign-in failed");
      done = true;
    });
    pump([&] { return done; });
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  report(state, samples, w.floorMs);
}
BENCHMARK(BM_SignInRoundTrip)->Iterations(200)->Unit(benchmark::kMillisecond);

void BM_TokenRefreshRoundTrip(benchmark::State& state) {
  World& w = world();
  auth::UserPtr user = w.auth->currentUser();
  std::vector<double> samples;
  for (auto _ : state) {
    bool done = false;
    const auto start = Clock::now();
    user->getTokenForcingRefresh(true, [&](std::optional<std::string> token, ErrorPtr error) {
      if (error || !token) state.SkipWithError("refresh failed");
      done = true;
    });
    pump([&] { return done; });
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  report(state, samples, w.floorMs);
}
BENCHMARK(BM_TokenRefreshRoundTrip)->Iterations(200)->Unit(benchmark::kMillisecond);

template <typename Call>
void timeCalls(benchmark::State& state, Call call) {
  std::vector<double> samples;
  for (auto _ : state) {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    const auto start = Clock::now();
    call([&] {
      std::lock_guard lock(mutex);
      done = true;
      changed.notify_all();
    });
    std::unique_lock lock(mutex);
    changed.wait_for(lock, kWait, [&] { return done; });
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  report(state, samples, world().floorMs);
}

void BM_VerifyPasswordCall(benchmark::State& state) {
  world();
  timeCalls(state, [&](std::function<void()> done) {
    auth::AuthBackend::verifyPassword(auth::VerifyPasswordRequest(kEmail, kPassword, kAPIKey),
                                      [done](auto, auto) { done(); });
  });
}
BENCHMARK(BM_VerifyPasswordCall)->Iterations(200)->Unit(benchmark::kMillisecond);

void BM_GetAccountInfoCall(benchmark::State& state) {
  World& w = world();
  const std::string token = w.auth->currentUser()->rawAccessToken();
  timeCalls(state, [&](std::function<void()> done) {
    auth::AuthBackend::getAccountInfo(auth::GetAccountInfoRequest(kAPIKey, token),
                                      [done](auto, auto) { done(); });
  });
}
BENCHMARK(BM_GetAccountInfoCall)->Iterations(200)->Unit(benchmark::kMillisecond);

// What storing the signed-in user costs: one atomic, synced rewrite of the key-chain file.
void BM_KeychainStore(benchmark::State& state) {
  World& w = world();
  auth::AuthKeychain keychain("dezuvura_auth_1:bench");
  const std::string archive = Value(w.auth->currentUser()->archive()).toJsonString();
  std::vector<double> samples;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (keychain.setData(archive, "bench_user")) state.SkipWithError("key chain write failed");
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  report(state, samples, 0);
}
BENCHMARK(BM_KeychainStore)->Iterations(100)->Unit(benchmark::kMillisecond);

// Sign-ins (password check and account load) with `range(0)` in flight, without touching the
// current user, for as many as finish in the measured time.
void BM_SignInsPerSecond(benchmark::State& state) {
  World& w = world();
  const int inFlight = static_cast<int>(state.range(0));
  auto implementation = std::dynamic_pointer_cast<auth::AuthBackendRPCImplementation>(
      auth::AuthBackend::implementation());
  auto issuer = std::dynamic_pointer_cast<auth::AuthBackendRPCIssuerImplementation>(
      implementation->RPCIssuer());
  const size_t connectionsBefore = issuer->fetcherService()->connectionsOpened();
  size_t total = 0;
  for (auto _ : state) {
    std::mutex mutex;
    std::condition_variable changed;
    int finished = 0;
    std::atomic<int> failed{0};
    for (int i = 0; i < inFlight; ++i) {
      auth::globalWorkQueue()->async([&] {
        w.auth->signInWithEmailInternal(kEmail, kPassword, [&](auth::UserPtr, ErrorPtr error) {
          if (error) ++failed;
          std::lock_guard lock(mutex);
          ++finished;
          changed.notify_all();
        });
      });
    }
    {
      std::unique_lock lock(mutex);
      changed.wait_for(lock, kWait, [&] { return finished == inFlight; });
    }
    if (failed) state.SkipWithError("a sign-in failed");
    total += inFlight;
  }
  state.counters["sign_ins_per_s"] =
      benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
  state.counters["connections_opened"] =
      static_cast<double>(issuer->fetcherService()->connectionsOpened() - connectionsBefore);
}
BENCHMARK(BM_SignInsPerSecond)->Arg(1)->Arg(8)->Arg(32)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
