// Any body the update server can answer the version check with, read as the update check reads
// it. The answer is a document or an error, never both; the text the document writes reads back;
// and version comparison is an order (reflexive, antisymmetric and transitive over the server's
// version, its release notes taken as a version and the running version) in which trailing ".0"
// parts change nothing.
#include <cstdint>
#include <string>

#include "app/update_manager.h"
#include "fuzz/support.h"
#include "http/session_manager.h"

namespace {

using dz::Value;
using dz::fuzz::require;
using pollapp::UpdateManager;

void checkOrder(const std::string& a, const std::string& b, const std::string& c) {
  const int ab = UpdateManager::compareVersion(a, b);
  const int bc = UpdateManager::compareVersion(b, c);
  const int ac = UpdateManager::compareVersion(a, c);
  require(UpdateManager::compareVersion(b, a) == -ab, "version comparison is not antisymmetric");
  require(!(ab >= 0 && bc >= 0) || ac >= 0, "version comparison is not transitive");
  require(!(ab <= 0 && bc <= 0) || ac <= 0, "version comparison is not transitive");
}

void checkVersion(const std::string& version) {
  require(UpdateManager::compareVersion(version, version) == 0, "a version differs from itself");
  require(UpdateManager::compareVersion(version + ".0", version) == 0,
          "a trailing .0 changes a version");
  require(UpdateManager::compareVersion(version + ".1", version) == 1,
          "a version with one more part is not newer");
  std::string joined;
  for (const std::string& part : UpdateManager::splitVersionString(version)) {
    joined += part;
    joined += '.';
  }
  joined.pop_back();
  require(joined == version, "a version's parts do not join back to it");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  dz::ErrorPtr error;
  std::optional<Value> document = dz::http::SessionManager::responseObjectForData(body, error);
  require(document.has_value() != static_cast<bool>(error), "an answer is both or neither");
  if (!document) return 0;
  // Numbers past the doubles read as infinities and are written as null: what is written reads
  // back, and is written the same again.
  const std::string text = document->toJsonString();
  std::optional<Value> again = Value::parseJson(text);
  require(again && again->toJsonString() == text, "a document does not read back from its text");

  std::optional<UpdateManager::VersionDocument> parsed =
      UpdateManager::parseVersionDocument(*document, error);
  require(parsed.has_value() != static_cast<bool>(error), "a document is both or neither");
  if (!parsed) return 0;
  require(Value(parsed->currentVersion) == (*document)["CurrentVersion"],
          "the server's version is not the document's");
  const std::string notes = parsed->releaseNotes.value_or("");
  const std::string running = UpdateManager::appVersion();
  checkVersion(parsed->currentVersion);
  checkVersion(notes);
  checkOrder(parsed->currentVersion, notes, running);
  checkOrder(notes, running, parsed->currentVersion);
  checkOrder(running, parsed->currentVersion, notes);
  return 0;
}
