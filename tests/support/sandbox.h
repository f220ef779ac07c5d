// A temporary sandbox root for one test: the file manager's root is a fresh folder, removed when
// the fixture ends (the root before it is put back), so stand-ins that write files (user defaults,
// key chain) never touch the user's data and tests never see each other's files.
#pragma once

#include <filesystem>

namespace dz::testing {

class ScopedSandbox {
 public:
  ScopedSandbox();
  ~ScopedSandbox();
  ScopedSandbox(const ScopedSandbox&) = delete;
  ScopedSandbox& operator=(const ScopedSandbox&) = delete;

  const std::filesystem::path& root() const { return root_; }
  // The root of the sandbox made last and still standing (children get it as DZ_HOME); null
  // when there is none. Tests' thread only.
  static const std::filesystem::path* current();

 private:
  std::filesystem::path root_;
  std::filesystem::path previousRoot_;
  const ScopedSandbox* outer_;
};

}  // namespace dz::testing
