// UpdateService: the development server's update documents, as the application's update check
// fetches them over HTTPS: the version document "/static/enterprise/vexo/version.json"
// ({"CurrentVersion", "ReleaseNotes"}) and the installation manifest
// "/static/enterprise/vexo/manifest.plist". Anything else is 404.
//
// Thread-safe: requests arrive on the server's thread, test controls from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/thread_annotations.h"
#include "tools/devserver/https_listener.h"

namespace dz::devserver {

struct UpdateSettings {
  std::string currentVersion = "1.0.1";
  std::optional<std::string> releaseNotes;
};

class UpdateService {
 public:
  explicit UpdateService(UpdateSettings settings) : settings_(std::move(settings)) {}
  UpdateService(const UpdateService&) = delete;
  UpdateService& operator=(const UpdateService&) = delete;

  // The listener's handler.
  void handle(const HttpRequest& request, HttpResponder respond);

  // ---- Test controls ----
  void setVersion(std::string currentVersion, std::optional<std::string> releaseNotes);
  // Serves this body (any text) as the version document, with `status`, instead of the settings.
  void setVersionDocument(std::string body, unsigned status = 200);
  // Requests answered so far for `path` (empty: every path).
  size_t requestCount(const std::string& path = {}) const;

 private:
  mutable platform::Mutex mutex_;
  UpdateSettings settings_ DZ_GUARDED_BY(mutex_);
  std::optional<std::string> body_ DZ_GUARDED_BY(mutex_);
  unsigned status_ DZ_GUARDED_BY(mutex_) = 200;
  std::vector<std::string> requested_ DZ_GUARDED_BY(mutex_);
};

}  // namespace dz::devserver
