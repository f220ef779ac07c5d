// A temporary sandbox root for one test: DZ_HOME points into a fresh folder that is removed when
// the fixture ends, so stand-ins that write files (user defaults, key chain) never touch the
// user's data and tests never see each other's files.
#pragma once

#include <filesystem>
#include <string>

namespace dz::testing {

class ScopedSandbox {
 public:
  ScopedSandbox();
  ~ScopedSandbox();
  ScopedSandbox(const ScopedSandbox&) = delete;
  ScopedSandbox& operator=(const ScopedSandbox&) = delete;

  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path root_;
  std::string previousHome_;
  bool hadHome_ = false;
};

}  // namespace dz::testing
