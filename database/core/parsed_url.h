// Database URLs: "https://<namespace>.<domain>.<tld>[:port]/<path>" parsed into the endpoint and
// the path inside the database. Thread-safe free function.
#pragma once

#include <string_view>

#include "database/snapshot/path.h"
#include "database/utilities/repo_info.h"

namespace dz::database {

struct ParsedUrl {
  RepoInfoPtr repoInfo;
  Path path;
};

inline constexpr char kNoDatabaseSpecified[] = "No Dezuvura database specified.";

// The host (lower-cased, with its port) must be a plain host name of exactly three non-empty
// dot-separated labels; the first one, lower-cased, is the namespace. The connection is secure
// unless the host carries a port and the scheme is not "https". The path is percent-decoded
// (sequences that would not decode to UTF-8 text are kept as written). Any other input throws
// dz::Exception "No Dezuvura database specified.".
ParsedUrl parseUrl(std::string_view url);

}  // namespace dz::database
