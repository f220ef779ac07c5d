#include "tests/support/scoped_environment.h"

#include <stdlib.h>

#include <utility>

namespace dz::testing {
namespace {

void setOrClear(const std::string& name, const char* value) {
  if (value) {
    ::setenv(name.c_str(), value, 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

}  // namespace

ScopedEnvironment::ScopedEnvironment(std::string name, const char* value) : name_(std::move(name)) {
  if (const char* old = ::getenv(name_.c_str())) previous_ = old;
  setOrClear(name_, value);
}

ScopedEnvironment::~ScopedEnvironment() {
  setOrClear(name_, previous_ ? previous_->c_str() : nullptr);
}

}  // namespace dz::testing
