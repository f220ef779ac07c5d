#include "app/update_manager.h"

#include <cstdlib>

#include "http/session_manager.h"
#include "platform/bundle.h"
#include "platform/log.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/application.h"

namespace pollapp {

using dz::Value;

namespace {

constexpr char kUpdateErrorDomain[] = "UpdateManager";
constexpr int kBadVersionDocument = 1;
constexpr char kInstallLinkPrefix[] = "itms-services://?action=download-manifest&url=";

void logUpdate(const std::string& line) { dz::platform::logLine("UpdateManager: " + line); }

// The leading digits of a part without leading zeros ("" for none or zero).
std::string leadingNumber(const std::string& part) {
  size_t end = 0;
  while (end < part.size() && part[end] >= '0' && part[end] <= '9') ++end;
  size_t start = 0;
  while (start < end && part[start] == '0') ++start;
  return part.substr(start, end - start);
}

// Numbers of any length, as their digit strings: longer is larger, else by digits.
int compareNumbers(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() > b.size() ? 1 : -1;
  int order = a.compare(b);
  return order > 0 ? 1 : (order < 0 ? -1 : 0);
}

}  // namespace

UpdateManager::UpdateManager(const std::string& server)
    : versionUrl_(server + kVersionDocumentPath),
      pListUrl_(kInstallLinkPrefix + server + kManifestPath) {}

std::shared_ptr<UpdateManager> UpdateManager::create(const std::string& server) {
  return std::shared_ptr<UpdateManager>(new UpdateManager(server));
}

std::shared_ptr<UpdateManager> UpdateManager::sharedManager() {
  static std::shared_ptr<UpdateManager> shared = [] {
    const char* server = std::getenv("DZ_UPDATE_SERVER");
    return create(server && *server ? server : kDefaultUpdateServer);
  }();
  return shared;
}

std::string UpdateManager::appVersion() {
  auto& bundle = dz::platform::Bundle::main();
  std::string build = bundle.build();
  return build.empty() ? bundle.shortVersion() : bundle.shortVersion() + "." + build;
}

std::vector<std::string> UpdateManager::splitVersionString(const std::string& version) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return parts;
}

int UpdateManager::compareVersion(const std::string& a, const std::string& b) {
  std::vector<std::string> first = splitVersionString(a);
  std::vector<std::string> second = splitVersionString(b);
  size_t count = std::max(first.size(), second.size());
  first.resize(count, "0");
  second.resize(count, "0");
  for (size_t i = 0; i < count; ++i) {
    int order = compareNumbers(leadingNumber(first[i]), leadingNumber(second[i]));
    if (order != 0) return order;
  }
  return 0;
}

std::optional<UpdateManager::VersionDocument> UpdateManager::parseVersionDocument(
    const Value& document, dz::ErrorPtr& error) {
  const std::string* version = document["CurrentVersion"].getString();
  const Value* notes = document.find("ReleaseNotes");
  if (!version || (notes && !notes->isNull() && !notes->isString())) {
    error = std::make_shared<dz::Error>(kUpdateErrorDomain, kBadVersionDocument,
                                        "The version document is not in the expected form.");
    return std::nullopt;
  }
  VersionDocument parsed{.currentVersion = *version, .releaseNotes = std::nullopt};
  if (notes && notes->isString()) parsed.releaseNotes = notes->asString();
  return parsed;
}

void UpdateManager::checkForUpdates() {
  const std::string running = appVersion();
  auto self = shared_from_this();
  dz::http::SessionManager::manager()->GET(
      versionUrl_, std::nullopt, nullptr,
      [self, running](const dz::http::DataTaskPtr&, const Value& document) {
        self->versionDocumentArrived(document, running);
      },
      [self, running](const dz::http::DataTaskPtr&, const dz::ErrorPtr& error) {
        self->failed(error, running);
      });
}

void UpdateManager::versionDocumentArrived(const Value& document, const std::string& running) {
  dz::ErrorPtr error;
  std::optional<VersionDocument> parsed = parseVersionDocument(document, error);
  if (!parsed) return failed(error, running);
  if (compareVersion(parsed->currentVersion, running) <= 0) {
    currentServerVersion_ = running;
    logUpdate("The application is up to date.");
    return;
  }
  currentServerVersion_ = parsed->currentVersion;
  offerUpdate(*parsed);
}

void UpdateManager::offerUpdate(const VersionDocument& document) {
  dz::ui::Window* window = dz::ui::Application::shared().keyWindow();
  auto root = window ? window->rootViewController() : nullptr;
  if (!root) {
    logUpdate("update available, but there is no screen to offer it on");
    return;
  }
  auto alert = std::make_shared<dz::ui::AlertController>(
      "update available",
      document.releaseNotes.value_or("a new version is available.") + "\nupdate now?");
  alert->addAction(
      {.title = "Cancel", .style = dz::ui::AlertAction::Style::Cancel, .handler = nullptr});
  std::weak_ptr<UpdateManager> weak = weak_from_this();
  alert->addAction({.title = "OK",
                    .style = dz::ui::AlertAction::Style::Default,
                    .handler = [weak](const dz::ui::AlertAction&) {
                      if (auto self = weak.lock()) self->performUpdate();
                    }});
  alert->setPreferredAction(1);
  root->present(alert, true);
}

void UpdateManager::failed(const dz::ErrorPtr& error, const std::string& running) {
  logUpdate("Update error: " + error->localizedDescription());
  currentServerVersion_ = running;
}

void UpdateManager::performUpdate() { dz::ui::Application::shared().openURL(pListUrl_); }

}  // namespace pollapp
