#include "tests/support/sandbox.h"

#include <stdlib.h>

#include <stdexcept>

namespace dz::testing {

ScopedSandbox::ScopedSandbox() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dz-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  if (const char* home = getenv("DZ_HOME")) {
    hadHome_ = true;
    previousHome_ = home;
  }
  setenv("DZ_HOME", root_.c_str(), 1);
}

ScopedSandbox::~ScopedSandbox() {
  if (hadHome_) {
    setenv("DZ_HOME", previousHome_.c_str(), 1);
  } else {
    unsetenv("DZ_HOME");
  }
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

}  // namespace dz::testing
