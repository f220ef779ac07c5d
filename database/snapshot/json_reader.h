// JSON text straight to nodes, without a JSON document in between: an event reader that builds
// each node when its text ends. It takes only the common shapes of valid data; for anything else
// (server value placeholders, ".priority" or ".value" holding an object or array, repeated keys,
// data that would be refused) it asks for the document path, which then gives the one answer and
// the exact error message. SnapshotUtilities::nodeFromJsonText is the public entry point.
#pragma once

#include <boost/system/error_code.hpp>
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "database/snapshot/node.h"
#include "database/snapshot/path.h"

namespace dz::database {

struct JsonTextRead {
  // The node, when the text was read here.
  NodePtr node;
  // The text is well-formed so far but needs the document path.
  bool needsDocument = false;
  // Why the text is not JSON (neither of the above).
  boost::system::error_code error;
  // The values of the levels read as written (see JsonTextReader) that the node shows otherwise.
  std::vector<Path> reshaped;
};

// Reads a JSON text of at most `maxDepth` nested arrays and objects given in pieces as they
// arrive: the text may be cut anywhere, even inside a string, number or character, and reads as
// the whole text does. Used on one thread at a time.
// The top `writtenLevels` levels of values (the whole text is level 0) may be an envelope rather
// than data: there, each value that the node does not show as written (null, an empty object or
// array, an array, an object with ".value" or ".priority") is listed in the read by its path.
class JsonTextReader {
 public:
  explicit JsonTextReader(size_t maxDepth, size_t writtenLevels = 0);
  JsonTextReader(const JsonTextReader&) = delete;
  JsonTextReader& operator=(const JsonTextReader&) = delete;
  ~JsonTextReader();

  // Reads the next piece. False once the text is refused or needs the document path; later
  // pieces then change nothing and finish() says which.
  bool write(std::string_view piece);
  // Once, with the last piece if it is at hand: the read of the whole text.
  JsonTextRead finish(std::string_view lastPiece = {});

 private:
  bool read(bool more, std::string_view piece);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Reads a whole JSON text of at most `maxDepth` nested arrays and objects.
JsonTextRead readJsonText(std::string_view text, size_t maxDepth, size_t writtenLevels = 0);

}  // namespace dz::database
