// UpdateManager: the self-update check. At launch it fetches the version document
// ("CurrentVersion", optional "ReleaseNotes") from the update server, compares the version it
// names with the running one, and when the server's is newer offers the update in an alert on the
// key window's root screen; confirming opens the over-the-air installation link of the manifest.
// The update server is https://updates.dz.test unless the environment variable
// DZ_UPDATE_SERVER names another ("https://host:port").
//
// One per process (sharedManager()); create() for tests. Main thread only: the HTTP answers
// arrive on the main queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/value.h"

namespace pollapp {

inline constexpr char kVersionDocumentPath[] = "/static/enterprise/vexo/version.json";
inline constexpr char kManifestPath[] = "/static/enterprise/vexo/manifest.plist";
inline constexpr char kDefaultUpdateServer[] = "https://updates.dz.test";

class UpdateManager : public std::enable_shared_from_this<UpdateManager> {
 public:
  static std::shared_ptr<UpdateManager> sharedManager();
  // `server`: scheme, host and port of the update server, without a trailing "/".
  static std::shared_ptr<UpdateManager> create(const std::string& server);
  UpdateManager(const UpdateManager&) = delete;
  UpdateManager& operator=(const UpdateManager&) = delete;

  // Starts the check; the outcome is logged, or shown as the alert.
  void checkForUpdates();
  // "<short version>.<build>", or the short version alone when the build is empty.
  static std::string appVersion();
  // 1 when `a` is newer, -1 when `b` is, 0 when equal. Parts compare by their leading digits as
  // numbers of any length (none counts 0); a missing part counts 0.
  static int compareVersion(const std::string& a, const std::string& b);
  static std::vector<std::string> splitVersionString(const std::string& version);
  // Opens the installation link (the application object records it).
  void performUpdate();

  // What the check makes of a version document: the server's version and notes, or an error for
  // a document that is not an object with a string "CurrentVersion" (and, when present, string
  // "ReleaseNotes").
  struct VersionDocument {
    std::string currentVersion;
    std::optional<std::string> releaseNotes;
  };
  static std::optional<VersionDocument> parseVersionDocument(const dz::Value& document,
                                                             dz::ErrorPtr& error);

  const std::string& versionUrl() const { return versionUrl_; }
  const std::string& pListUrl() const { return pListUrl_; }
  const std::string& currentServerVersion() const { return currentServerVersion_; }

 private:
  explicit UpdateManager(const std::string& server);
  void versionDocumentArrived(const dz::Value& document, const std::string& running);
  void offerUpdate(const VersionDocument& document);
  void failed(const dz::ErrorPtr& error, const std::string& running);

  const std::string versionUrl_;
  const std::string pListUrl_;
  std::string currentServerVersion_;
};

}  // namespace pollapp
