// The public database objects end to end against the development server on 127.0.0.1:
// - a write on client A to the child-added event on client B, one at a time (p50 / p99), beside
//   a raw loopback TCP round trip measured in the same run;
// - one writer and many listening clients: time until the last client has the value, the
//   clients' CPU per push per client (the process's CPU time over pushes x clients), and the
//   memory per client of the clients' process and of the server's (a process of its own);
// - the initial load of a listen on 100,000 children, as a ratio to parsing the same JSON on the
//   parser's own reused memory (the first load, where the server serializes the data, left out
//   of the median); beside it the client's share: the same load from a peer that sends the push
//   from memory at once, and from one that sends it over a slower link, where reading can keep up
//   with the frames.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <fstream>
#include <mutex>
#include <thread>

#include "database/api/database.h"
#include "database/realtime/web_socket_connection.h"
#include "platform/resolver.h"
#include "tests/support/beast_websocket_server.h"
#include "tests/support/database_client.h"
#include "tests/support/event_counter.h"
#include "tools/devserver/dev_server.h"

namespace {

using namespace dz::database;
using Clock = std::chrono::steady_clock;

using Counter = dz::testing::EventCounter;

std::unique_ptr<dz::devserver::DevServer> startServer() {
  auto server = dz::devserver::DevServer::start();
  dz::platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
  return server;
}

std::atomic<int> clientCounter{0};

template <class Server>
std::shared_ptr<Database> client(const Server& server) {
  return dz::testing::makeDatabaseClient(server.databaseUrl(),
                                         "bench-" + std::to_string(++clientCounter));
}

// Waits until the client's connection is up.
bool waitConnected(Database& database) {
  auto connected = std::make_shared<Counter>();
  DatabaseReference info = database.reference().child(".info/connected");
  auto handle = info.observeEventType(DataEventType::Value, [connected](const DataSnapshot& s) {
    if (s.value() == dz::Value(1)) connected->add();
  });
  bool ok = connected->waitFor(1);
  info.removeObserverWithHandle(handle);
  return ok;
}

double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t index = std::min(samples.size() - 1, static_cast<size_t>(p * samples.size()));
  return samples[index];
}

double since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// A raw TCP echo over loopback: one byte there and back, Nagle off.
std::vector<double> loopbackRoundTrips(int count) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listener, 1);
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::thread echo([listener] {
    int peer = ::accept(listener, nullptr, nullptr);
    int one = 1;
    ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char byte;
    while (::read(peer, &byte, 1) == 1) ::write(peer, &byte, 1);
    ::close(peer);
  });
  int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int one = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::vector<double> samples;
  char byte = 'x';
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    ::write(socket, &byte, 1);
    ::read(socket, &byte, 1);
    samples.push_back(since(start));
  }
  ::close(socket);
  echo.join();
  ::close(listener);
  return samples;
}

void BM_WriteToRemoteChildAdded(benchmark::State& state) {
  auto server = startServer();
  auto a = client(*server);
  auto b = client(*server);
  if (!waitConnected(*a) || !waitConnected(*b)) return state.SkipWithError("not connected");
  auto added = std::make_shared<Counter>();
  b->reference().child("feed").observeEventType(DataEventType::ChildAdded,
                                                [added](const DataSnapshot&) { added->add(); });
  // The listen is in place once the initial (empty) value has come.
  auto ready = std::make_shared<Counter>();
  b->reference().child("feed").observeSingleEventOfType(
      DataEventType::Value, [ready](const DataSnapshot&) { ready->add(); });
  ready->waitFor(1);
  std::vector<double> samples;
  uint64_t writes = 0;
  for (auto _ : state) {
    for (int i = 0; i < state.range(0); ++i) {
      auto start = Clock::now();
      a->reference().child("feed").childByAutoId().setValue(i);
      if (!added->waitFor(++writes)) return state.SkipWithError("event lost");
      samples.push_back(since(start));
    }
  }
  std::vector<double> tcp = loopbackRoundTrips(static_cast<int>(samples.size()));
  state.counters["p50_us"] = percentile(samples, 0.5);
  state.counters["p99_us"] = percentile(samples, 0.99);
  state.counters["tcp_p50_us"] = percentile(tcp, 0.5);
  state.counters["ratio_p50"] = percentile(samples, 0.5) / percentile(tcp, 0.5);
  a->goOffline();
  b->goOffline();
}
BENCHMARK(BM_WriteToRemoteChildAdded)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

// The development server as a process of its own, so that its memory is measured apart.
class ServerProcess {
 public:
  ServerProcess() {
    std::string command = std::string(DZ_DEVSERVER_PROGRAM) + " --parent-pid " +
                          std::to_string(::getpid()) + " & echo pid $!";
    pipe_ = ::popen(command.c_str(), "r");
    char line[256];
    while (pipe_ && std::fgets(line, sizeof line, pipe_)) {
      std::string text(line);
      if (text.rfind("pid ", 0) == 0) pid_ = std::stoi(text.substr(4));
      if (text.rfind("port ", 0) == 0) {
        port_ = std::stoi(text.substr(5));
        break;
      }
    }
  }
  ~ServerProcess() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    if (pipe_) ::pclose(pipe_);
  }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string databaseUrl() const { return "http://ns.dz.test:" + std::to_string(port_); }

 private:
  FILE* pipe_ = nullptr;
  pid_t pid_ = 0;
  int port_ = 0;
};

// CPU seconds (user and system) this process has used so far, on all its threads.
double processCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

long residentKilobytes(const std::string& process = "self") {
  std::ifstream status("/proc/" + process + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

void BM_FanOutToManyClients(benchmark::State& state) {
  ServerProcess server;
  if (!server.port()) return state.SkipWithError("no server");
  dz::platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
  auto writer = client(server);
  if (!waitConnected(*writer)) return state.SkipWithError("not connected");
  std::string serverProcess = std::to_string(server.pid());
  long before = residentKilobytes();
  long serverBefore = residentKilobytes(serverProcess);
  size_t listeners = static_cast<size_t>(state.range(0));
  std::vector<std::shared_ptr<Database>> clients;
  struct Shared {
    Counter received;
    std::atomic<int64_t> round{-1};
    std::vector<Clock::time_point> arrivals;
  };
  auto shared = std::make_shared<Shared>();
  shared->arrivals.resize(listeners);
  Counter& received = shared->received;
  std::atomic<int64_t>& round = shared->round;
  std::vector<Clock::time_point>& arrivals = shared->arrivals;
  for (size_t i = 0; i < listeners; ++i) {
    clients.push_back(client(server));
    clients.back()->reference().child("shared").observeEventType(
        DataEventType::Value, [shared, i](const DataSnapshot& snapshot) {
          if (snapshot.value() == dz::Value(shared->round.load())) {
            shared->arrivals[i] = Clock::now();
            shared->received.add();
          }
        });
  }
  // Every client has connected and listens once all saw the first value.
  round = 0;
  writer->reference().child("shared").setValue(0);
  if (!received.waitFor(listeners)) return state.SkipWithError("clients did not all connect");
  long after = residentKilobytes();
  long serverAfter = residentKilobytes(serverProcess);
  std::vector<double> lastArrival;
  std::vector<double> allArrivals;
  constexpr int kRounds = 100;
  double cpuStart = processCpuSeconds();
  for (auto _ : state) {
    for (int r = 1; r <= kRounds; ++r) {
      uint64_t target = received.count() + listeners;
      round = r;
      auto start = Clock::now();
      writer->reference().child("shared").setValue(r);
      if (!received.waitFor(target)) return state.SkipWithError("value lost");
      double last = 0;
      for (const auto& arrival : arrivals) {
        double micros = std::chrono::duration<double, std::micro>(arrival - start).count();
        allArrivals.push_back(micros);
        last = std::max(last, micros);
      }
      lastArrival.push_back(last);
    }
  }
  // The writer's share is one write per round, small beside the listeners' pushes.
  double cpuPerPush = (processCpuSeconds() - cpuStart) / (static_cast<double>(kRounds) * listeners);
  state.counters["client_cpu_us_per_push"] = cpuPerPush * 1e6;
  state.counters["last_p50_ms"] = percentile(lastArrival, 0.5) / 1000;
  state.counters["last_p99_ms"] = percentile(lastArrival, 0.99) / 1000;
  state.counters["each_p50_ms"] = percentile(allArrivals, 0.5) / 1000;
  state.counters["client_kB_each"] = static_cast<double>(after - before) / listeners;
  state.counters["server_kB_each"] = static_cast<double>(serverAfter - serverBefore) / listeners;
  for (auto& database : clients) database->goOffline();
  writer->goOffline();
}
BENCHMARK(BM_FanOutToManyClients)
    ->Arg(100)
    ->Arg(1000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// A database peer that answers the handshake, sends `push` (whole message text) for a listen
// from memory and acknowledges every request: the server's own work out of the picture. With a
// `pause` after every 16 frames (256 kB), a link slower than loopback.
std::unique_ptr<dz::testing::BeastWebSocketServer> cannedServer(
    const std::string& push, std::chrono::milliseconds pause = {}) {
  auto frames = std::make_shared<std::vector<std::string>>(framesForMessage(push));
  auto port = std::make_shared<std::atomic<int>>(0);
  auto server = std::make_unique<dz::testing::BeastWebSocketServer>(
      [frames, port, pause](dz::testing::BeastWebSocketServer::Session& session) {
        boost::json::object handshake{{"ts", 0},
                                      {"v", "5"},
                                      {"h", "ns.dz.test:" + std::to_string(port->load())},
                                      {"s", "canned"}};
        boost::json::object control{{"t", "h"}, {"d", std::move(handshake)}};
        session.write(boost::json::serialize(boost::json::object{{"t", "c"}, {"d", control}}));
        std::string text;
        bool isText = true;
        while (session.read(text, isText)) {
          boost::system::error_code ec;
          boost::json::value message = boost::json::parse(text, ec);
          const auto* request = ec ? nullptr : message.as_object().if_contains("d");
          const auto* number = request ? request->as_object().if_contains("r") : nullptr;
          if (!number) continue;  // a keep-alive
          const auto* action = request->as_object().if_contains("a");
          if (action && *action == "q") {
            for (size_t i = 0; i < frames->size(); ++i) {
              session.write((*frames)[i]);
              if (i % 16 == 15) std::this_thread::sleep_for(pause);
            }
          }
          boost::json::object reply{{"r", *number},
                                    {"b", boost::json::object{{"s", "ok"}, {"d", nullptr}}}};
          session.write(boost::json::serialize(boost::json::object{{"t", "d"}, {"d", reply}}));
        }
      });
  *port = server->port();
  return server;
}

struct PeerUrl {
  std::string url;
  std::string databaseUrl() const { return url; }
};

// Milliseconds from a listen at /big to its value event with the children in it.
double loadMillis(Database& reader) {
  auto loaded = std::make_shared<Counter>();
  auto start = Clock::now();
  reader.reference().child("big").observeSingleEventOfType(DataEventType::Value,
                                                           [loaded](const DataSnapshot& snapshot) {
                                                             if (snapshot.childrenCount() > 0)
                                                               loaded->add();
                                                           });
  if (!loaded->waitFor(1)) return -1;
  return since(start) / 1000;
}

// Returns once the client's work queue has done what was queued before (the end of a listen
// frees its data there), an event that comes after it, and the allocator has tidied up after it.
void settle(Database& database) {
  auto done = std::make_shared<Counter>();
  database.reference()
      .child(".info/connected")
      .observeSingleEventOfType(DataEventType::Value, [done](const DataSnapshot&) { done->add(); });
  done->waitFor(1);
  // Freed memory is put away now rather than by the next load's first large allocation.
  ::malloc_trim(0);
}

void BM_InitialLoadOfManyChildren(benchmark::State& state) {
  auto server = startServer();
  boost::json::object children;
  for (int i = 0; i < state.range(0); ++i) {
    children["child" + std::to_string(i)] =
        boost::json::object{{"name", "a name of some length " + std::to_string(i)},
                            {"score", i},
                            {"open", i % 2 == 0},
                            {"text", std::string(40, 'x')}};
  }
  std::string text = boost::json::serialize(children);
  server->setJson("/big", text);
  // Parsing the same text into a document, the floor: once from a trimmed heap, as every load
  // starts (see settle), and once more at once, reusing the memory the first parse freed. The
  // warm parse is the headline's floor: the conservative one, since it is the faster.
  auto parseMillis = [&text] {
    auto parseStart = Clock::now();
    boost::json::value parsed = boost::json::parse(text);
    benchmark::DoNotOptimize(parsed);
    return since(parseStart) / 1000;
  };
  std::vector<double> parses;
  std::vector<double> warmParses;
  std::string push = R"({"t":"d","d":{"a":"d","b":{"p":"big","d":)" + text + "}}}";
  auto canned = cannedServer(push);
  PeerUrl peer{"http://ns.dz.test:" + std::to_string(canned->port())};
  // About 128 MB/s: the transfer takes about as long as reading the text.
  auto slowCanned = cannedServer(push, std::chrono::milliseconds(2));
  PeerUrl slowPeer{"http://ns.dz.test:" + std::to_string(slowCanned->port())};
  std::vector<double> loads;
  std::vector<double> clientLoads;
  std::vector<double> slowLoads;
  for (auto _ : state) {
    auto reader = client(*server);
    auto alone = client(peer);
    auto slow = client(slowPeer);
    if (!waitConnected(*reader) || !waitConnected(*alone) || !waitConnected(*slow)) {
      return state.SkipWithError("not connected");
    }
    // Each load once the other client has let its data go, so that they do not overlap.
    loads.push_back(loadMillis(*reader));
    settle(*reader);
    clientLoads.push_back(loadMillis(*alone));
    settle(*alone);
    slowLoads.push_back(loadMillis(*slow));
    settle(*slow);
    if (loads.back() < 0 || clientLoads.back() < 0 || slowLoads.back() < 0) {
      return state.SkipWithError("no value");
    }
    reader->goOffline();
    alone->goOffline();
    slow->goOffline();
    ::malloc_trim(0);
    parses.push_back(parseMillis());
    warmParses.push_back(parseMillis());
  }
  // Only the first load has the server serialize the data (it keeps the push for the others), so
  // it is reported alone and left out of the server load's median.
  std::vector<double> laterLoads(loads.begin() + 1, loads.end());
  const double loadMs = percentile(laterLoads, 0.5);
  const double parseMs = percentile(warmParses, 0.5);
  const double coldParseMs = percentile(parses, 0.5);
  state.counters["bytes"] = static_cast<double>(text.size());
  state.counters["first_load_ms"] = loads.front();
  state.counters["load_ms_after_first"] = loadMs;
  state.counters["warm_parse_ms"] = parseMs;
  state.counters["ratio_to_warm_parse"] = loadMs / parseMs;
  state.counters["worst_ratio_to_warm_parse"] =
      *std::max_element(laterLoads.begin(), laterLoads.end()) / parseMs;
  state.counters["cold_parse_ms"] = coldParseMs;
  state.counters["ratio_to_cold_parse"] = loadMs / coldParseMs;
  state.counters["client_ms"] = percentile(clientLoads, 0.5);
  state.counters["client_ratio_to_warm_parse"] = percentile(clientLoads, 0.5) / parseMs;
  // The same over the slower link, and the time its frames alone take (the floor there).
  state.counters["slow_link_ms"] = percentile(slowLoads, 0.5);
  state.counters["slow_link_floor_ms"] =
      static_cast<double>(framesForMessage(push).size() / 16 * 2);
}
BENCHMARK(BM_InitialLoadOfManyChildren)->Arg(100000)->Iterations(6)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
