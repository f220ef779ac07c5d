// dz-e2e-client: database clients in a process of their own, for end-to-end tests that need
// several processes or one to kill.
//
//   dz-e2e-client counter <url> <name> <clients> <increments>
//     <clients> databases each mark /ready/<name>-<i>, wait for /go to be true, then start
//     <increments> transactions at once that add one to /counter. Exits 0 when every completion
//     ran exactly once, committed, and no transaction or watcher is left; else prints why.
//   dz-e2e-client presence <url> <name>
//     Under /presence/<name>: "set" true with false on disconnect; "cancel" the same, cancelled;
//     "update" {"online": true} with an update to false and the server's time; "priority" true
//     with false and priority 5. Then marks /ready/<name> and waits to be killed.
//   dz-e2e-client offline-writes <url> <app> [<hold-file>]
//     With persistence on and offline: sets /notes/a to "one" and updates /notes with b "two",
//     then ends (exit 1 when the store could not be had). With <hold-file>: writes
//     <hold-file>.held and keeps the store until <hold-file> exists.
//   dz-e2e-client write-online <url> <app>
//     Sets /live/child to "hello" and exits 0 once the server confirmed it.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "database/api/database.h"
#include "database/api/server_value.h"
#include "database/core/repo.h"
#include "database/core/transaction_queue.h"
#include "tests/support/database_client.h"
#include "tests/support/event_counter.h"

using namespace dz;
using namespace dz::database;

namespace {

constexpr auto kWait = std::chrono::seconds(120);

// Counts events and waits for a number of them.
class Counter : public dz::testing::EventCounter {
 public:
  bool waitFor(int count) { return EventCounter::waitFor(static_cast<uint64_t>(count), kWait); }
};

[[noreturn]] void finish(int code, const std::string& message) {
  std::cout << message << std::endl;
  std::_Exit(code);
}

// Everything queued on the work queue and the callback queue before now has run.
void settle(const std::shared_ptr<Database>& database) {
  for (int round = 0; round < 3; ++round) {
    database->repo()->queue()->sync([] {});
    database->callbackQueue()->sync([] {});
  }
}

void waitForGo(const std::shared_ptr<Database>& database) {
  auto go = std::make_shared<Counter>();
  database->referenceWithPath("go").observeEventType(DataEventType::Value,
                                                     [go](const DataSnapshot& snapshot) {
                                                       if (snapshot.value() == Value(true))
                                                         go->add();
                                                     });
  if (!go->waitFor(1)) finish(1, "no go");
}

int runCounter(const std::string& url, const std::string& name, int clients, int increments) {
  std::vector<std::shared_ptr<Database>> databases;
  Counter ready;
  for (int i = 0; i < clients; ++i) {
    databases.push_back(dz::testing::makeDatabaseClient(url, name + "-" + std::to_string(i)));
    databases.back()
        ->referenceWithPath("ready/" + name + "-" + std::to_string(i))
        .setValue(true, [&ready](const ErrorPtr&, const DatabaseReference&) { ready.add(); });
  }
  if (!ready.waitFor(clients)) finish(1, "not ready");
  for (auto& database : databases) waitForGo(database);

  // calls[c][i]: completions of transaction i of client c; committed the same for commits.
  std::vector<std::vector<std::atomic<int>>> calls(clients);
  std::vector<std::vector<std::atomic<int>>> commits(clients);
  Counter done;
  for (int c = 0; c < clients; ++c) {
    calls[c] = std::vector<std::atomic<int>>(increments);
    commits[c] = std::vector<std::atomic<int>>(increments);
    DatabaseReference counter = databases[c]->referenceWithPath("counter");
    for (int i = 0; i < increments; ++i) {
      counter.runTransactionBlock(
          [](MutableData& data) {
            data.setValue(Value(data.value().getInt().value_or(0) + 1));
            return TransactionResult::successWithValue(data);
          },
          [&, c, i](const ErrorPtr& error, bool committed, const std::optional<DataSnapshot>&) {
            ++calls[c][i];
            if (committed && !error) ++commits[c][i];
            if (error) std::cout << "client " << c << ": " << error->localizedDescription() << "\n";
            done.add();
          });
    }
  }
  if (!done.waitFor(clients * increments)) finish(1, "completions missing");
  for (auto& database : databases) settle(database);
  for (int c = 0; c < clients; ++c) {
    for (int i = 0; i < increments; ++i) {
      if (calls[c][i] != 1 || commits[c][i] != 1) {
        finish(1, "transaction " + std::to_string(i) + " of client " + std::to_string(c) + ": " +
                      std::to_string(calls[c][i]) + " completions, " +
                      std::to_string(commits[c][i]) + " commits");
      }
    }
    auto repo = databases[c]->repo();
    size_t queued = 0;
    size_t listens = 0;
    repo->queue()->sync([&] {
      queued = repo->transactionQueue()->size();
      listens = repo->connection().dumpListens().size();
    });
    // The one listen left is the client's own, at /go.
    if (queued != 0 || listens != 1) {
      finish(1, "client " + std::to_string(c) + ": " + std::to_string(queued) +
                    " transactions and " + std::to_string(listens) + " listens left");
    }
  }
  finish(0, "ok");
}

int runPresence(const std::string& url, const std::string& name) {
  auto database = dz::testing::makeDatabaseClient(url, name);
  DatabaseReference root = database->referenceWithPath("presence/" + name);
  Counter written;
  int failures = 0;
  std::mutex mutex;
  auto completion = [&](const ErrorPtr& error, const DatabaseReference& ref) {
    if (error) {
      std::lock_guard lock(mutex);
      ++failures;
      std::cout << ref.URL() << ": " << error->localizedDescription() << std::endl;
    }
    written.add();
  };
  root.child("set").setValue(true, completion);
  root.child("set").onDisconnectSetValue(false, completion);
  root.child("cancel").setValue(true, completion);
  root.child("cancel").onDisconnectSetValue(false, completion);
  root.child("cancel").cancelDisconnectOperations(completion);
  root.child("update").setValue(Value::Map{{"online", true}}, completion);
  root.child("update").onDisconnectUpdateChildValues(
      {{"online", false}, {"seen", ServerValue::timestamp()}}, completion);
  root.child("priority").setValue(true, completion);
  root.child("priority").onDisconnectSetValueAndPriority(false, 5, completion);
  if (!written.waitFor(9) || failures) finish(1, "writes failed");
  database->referenceWithPath("ready/" + name).setValue(true, completion);
  if (!written.waitFor(10)) finish(1, "not ready");
  std::cout << "ready" << std::endl;
  for (;;) pause();
}

int runOfflineWrites(const std::string& url, const std::string& app, const std::string& hold) {
  core::Options options;
  options.databaseURL = url;
  core::App::configure(app, options);
  auto database = Database::databaseForApp(core::App::appNamed(app));
  database->setPersistenceEnabled(true);
  database->goOffline();
  database->reference().child("notes/a").setValue("one");
  database->reference().child("notes").updateChildValues(Value::Map{{"b", "two"}});
  // Both writes are stored once the work queue has run them.
  database->repo()->queue()->sync([] {});
  if (!database->repo()->hasPersistence()) finish(1, "no store");
  if (hold.empty()) finish(0, "ok");
  std::ofstream(hold + ".held") << "held";
  auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!std::filesystem::exists(hold)) {
    if (std::chrono::steady_clock::now() > deadline) finish(1, "never released");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  finish(0, "ok");
}

int runWriteOnline(const std::string& url, const std::string& app) {
  auto database = dz::testing::makeDatabaseClient(url, app);
  Counter written;
  std::atomic<bool> failed = false;
  database->referenceWithPath("live/child")
      .setValue("hello", [&](const ErrorPtr& error, const DatabaseReference&) {
        failed = error != nullptr;
        written.add();
      });
  if (!written.waitFor(1) || failed) finish(1, "the write failed");
  finish(0, "ok");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 5 && args[0] == "counter") {
    return runCounter(args[1], args[2], std::stoi(args[3]), std::stoi(args[4]));
  }
  if (args.size() == 3 && args[0] == "presence") return runPresence(args[1], args[2]);
  if ((args.size() == 3 || args.size() == 4) && args[0] == "offline-writes") {
    return runOfflineWrites(args[1], args[2], args.size() == 4 ? args[3] : "");
  }
  if (args.size() == 3 && args[0] == "write-online") return runWriteOnline(args[1], args[2]);
  std::cerr << "usage: dz-e2e-client counter <url> <name> <clients> <increments>\n"
               "       dz-e2e-client presence <url> <name>\n"
               "       dz-e2e-client offline-writes <url> <app> [<hold-file>]\n"
               "       dz-e2e-client write-online <url> <app>\n";
  return 2;
}
