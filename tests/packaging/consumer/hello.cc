// Writes one value, waits for the server to take it, and reads it back.
#include <chrono>
#include <future>
#include <iostream>

#include "database/api/database.h"

using dz::database::Database;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: hello <database URL>\n";
    return 2;
  }
  dz::core::Options options;
  options.databaseURL = argv[1];
  dz::core::App::configure(options);
  auto database = Database::database();
  // Callbacks run on the main queue unless told otherwise, and only a running main run loop
  // drains that queue; this program waits on futures instead.
  database->setCallbackQueue(dz::platform::DispatchQueue::create("hello.callbacks"));

  auto greeting = database->reference().child("greeting");
  std::promise<dz::ErrorPtr> written;
  greeting.setValue("hello, world",
                    [&](const dz::ErrorPtr& error, const auto&) { written.set_value(error); });
  auto answer = written.get_future();
  if (answer.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    std::cerr << "no answer from the server; Database::setLoggingEnabled(true) shows why\n";
    return 1;
  }
  if (dz::ErrorPtr error = answer.get()) {
    std::cerr << "the write failed: " << error->localizedDescription() << "\n";
    return 1;
  }

  std::promise<dz::Value> read;
  greeting.observeSingleEventOfType(
      dz::database::DataEventType::Value,
      [&](const dz::database::DataSnapshot& snapshot) { read.set_value(snapshot.value()); });
  dz::Value value = read.get_future().get();
  try {
    std::cout << "read back: " << value.asString() << "\n";
  } catch (const dz::Exception& e) {
    // Another program wrote something else there in the meantime.
    std::cerr << "not a string: " << value.toJsonString() << " (" << e.what() << ")\n";
    return 1;
  }
}
