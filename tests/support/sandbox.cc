#include "tests/support/sandbox.h"

#include <stdlib.h>

#include <stdexcept>

#include "platform/file_manager.h"

namespace dz::testing {
namespace {

const ScopedSandbox* innermost = nullptr;

}  // namespace

const std::filesystem::path* ScopedSandbox::current() {
  return innermost ? &innermost->root() : nullptr;
}

ScopedSandbox::ScopedSandbox() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dz-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  previousRoot_ = platform::FileManager::setSandboxRoot(root_);
  outer_ = innermost;
  innermost = this;
}

ScopedSandbox::~ScopedSandbox() {
  innermost = outer_;
  platform::FileManager::setSandboxRoot(previousRoot_);
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

}  // namespace dz::testing
