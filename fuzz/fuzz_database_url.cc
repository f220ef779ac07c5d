// Arbitrary text as a database URL, as the options file or a caller gives it. Parsing throws
// nothing but its one exception; a URL it takes names a plain lower-case host of three labels,
// the first of them the namespace, and the URL written back from what was read (scheme, host,
// the path's keys percent-encoded) reads the same.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "database/core/parsed_url.h"
#include "database/websocket/utf8_validator.h"
#include "fuzz/support.h"
#include "platform/exception.h"
#include "platform/text.h"

namespace {

using dz::database::ParsedUrl;
using dz::database::RepoInfo;
using dz::fuzz::require;

bool parses(std::string_view url, ParsedUrl& parsed) {
  try {
    parsed = dz::database::parseUrl(url);
    return true;
  } catch (const dz::Exception& e) {
    require(e.name() == dz::database::kNoDatabaseSpecified, "a URL refused with another name");
    return false;
  }
}

bool sameRepo(const RepoInfo& a, const RepoInfo& b) {
  return a.host() == b.host() && a.namespaceName() == b.namespaceName() && a.secure() == b.secure();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dz::fuzz::scratchFolder();  // the sandbox root, for the repository's host cache
  const std::string_view url(reinterpret_cast<const char*>(data), size);
  ParsedUrl parsed;
  if (!parses(url, parsed)) return 0;
  const RepoInfo& repo = *parsed.repoInfo;
  const std::string& host = repo.host();
  require(dz::database::isPlainHostAndPort(host) && dz::platform::asciiLowercased(host) == host,
          "a URL read as a host that is not plain and lower-case");
  require(std::count(host.begin(), host.end(), '.') == 2 &&
              repo.namespaceName() == host.substr(0, host.find('.')) &&
              !repo.namespaceName().empty(),
          "a URL read as a host of other labels or another namespace");
  require(repo.secure() || host.find(':') != std::string::npos,
          "a URL without a port read as insecure");

  // Keys that are not UTF-8 text stay as written, and would not read back from their escapes.
  std::string written = std::string(repo.secure() ? "https://" : "http://") + host;
  for (const std::string& key : parsed.path.keys()) {
    if (!dz::websocket::isValidUtf8(key)) return 0;
    written += "/" + dz::platform::percentEncoded(key, dz::platform::isAsciiAlphanumeric);
  }
  ParsedUrl again;
  require(parses(written, again) && sameRepo(*again.repoInfo, repo) && again.path == parsed.path,
          "a URL written back from what was read reads otherwise");
  return 0;
}
