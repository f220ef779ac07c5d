#include "tools/devserver/update_service.h"

#include <algorithm>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

namespace dz::devserver {
namespace {

constexpr char kVersionPath[] = "/static/enterprise/vexo/version.json";
constexpr char kManifestPath[] = "/static/enterprise/vexo/manifest.plist";

std::string manifest(const std::string& version) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<plist version=\"1.0\"><dict><key>items</key><array><dict>"
         "<key>metadata</key><dict><key>bundle-version</key><string>" +
         version +
         "</string><key>kind</key><string>software</string></dict>"
         "</dict></array></dict></plist>\n";
}

}  // namespace

void UpdateService::handle(const HttpRequest& request, HttpResponder respond) {
  std::string path = request.target.substr(0, request.target.find('?'));
  HttpResponse response;
  {
    platform::MutexLock lock(mutex_);
    requested_.push_back(path);
    if (request.method != "GET" || (path != kVersionPath && path != kManifestPath)) {
      response.status = 404;
      response.body = R"({"error":"not found"})";
    } else if (path == kManifestPath) {
      response.contentType = "application/xml";
      response.body = manifest(settings_.currentVersion);
    } else if (body_) {
      response.status = status_;
      response.body = *body_;
    } else {
      boost::json::object document{{"CurrentVersion", settings_.currentVersion}};
      if (settings_.releaseNotes) document["ReleaseNotes"] = *settings_.releaseNotes;
      response.body = boost::json::serialize(document);
    }
  }
  respond(std::move(response));
}

void UpdateService::setVersion(std::string currentVersion,
                               std::optional<std::string> releaseNotes) {
  platform::MutexLock lock(mutex_);
  settings_ = {std::move(currentVersion), std::move(releaseNotes)};
  body_.reset();
}

void UpdateService::setVersionDocument(std::string body, unsigned status) {
  platform::MutexLock lock(mutex_);
  body_ = std::move(body);
  status_ = status;
}

size_t UpdateService::requestCount(const std::string& path) const {
  platform::MutexLock lock(mutex_);
  if (path.empty()) return requested_.size();
  return static_cast<size_t>(std::count(requested_.begin(), requested_.end(), path));
}

}  // namespace dz::devserver
