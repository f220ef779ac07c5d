// The shared state behind a query or reference handle. Library-private: public headers only
// forward-declare it.
#pragma once

#include <memory>

#include "database/api/database_query.h"
#include "database/snapshot/path.h"
#include "database/snapshot/query_params.h"
#include "database/snapshot/query_spec.h"

namespace dz::database {

struct DatabaseQuery::State {
  std::shared_ptr<Repo> repo;
  Path path;
  QueryParams params;
  bool orderByCalled = false;
  bool isReference = false;
};

}  // namespace dz::database
