// A database client of its own for tests, benchmarks and test programs: a new app named `name`
// on `url`, with a callback queue of its own. Header-only, like the programs that use it need.
#pragma once

#include <memory>
#include <string>

#include "core/app.h"
#include "database/api/database.h"

namespace dz::testing {

inline std::shared_ptr<database::Database> makeDatabaseClient(const std::string& url,
                                                              const std::string& name) {
  core::Options options;
  options.databaseURL = url;
  core::App::configure(name, options);
  auto database = database::Database::databaseForApp(core::App::appNamed(name));
  database->setCallbackQueue(platform::DispatchQueue::create("callbacks." + name));
  return database;
}

}  // namespace dz::testing
