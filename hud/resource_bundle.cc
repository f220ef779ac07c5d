#include "hud/resource_bundle.h"

#include <memory>
#include <mutex>

#include "platform/bundle.h"
#include "platform/log.h"

namespace dz::hud {
namespace {

constexpr char kBundleName[] = "ProgressHUD";
constexpr char kBundleType[] = "bundle";

const platform::Bundle* bundle() {
  static std::once_flag once;
  static std::unique_ptr<platform::Bundle> found;
  std::call_once(once, [] {
    auto path = platform::Bundle::main().pathForResource(kBundleName, kBundleType);
    if (!path) {
      platform::logLine("ProgressHUD: no resource bundle in " +
                        platform::Bundle::main().resourcePath().string());
      return;
    }
    found = std::make_unique<platform::Bundle>(*path);
  });
  return found.get();
}

}  // namespace

ui::ImagePtr resourceImage(std::string_view name) {
  const platform::Bundle* resources = bundle();
  return resources ? ui::Image::named(name, *resources) : nullptr;
}

}  // namespace dz::hud
