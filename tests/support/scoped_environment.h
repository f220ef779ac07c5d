// Sets or clears an environment variable for one scope and puts back what was there before, also
// when an assertion ends the test early, so a test leaves the process as it found it for the
// tests after it (and for its own next repetition). Tests' thread only.
#pragma once

#include <optional>
#include <string>

namespace dz::testing {

class ScopedEnvironment {
 public:
  // `value` null clears the variable.
  ScopedEnvironment(std::string name, const char* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace dz::testing
