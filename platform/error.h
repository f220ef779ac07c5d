// dz::Error: a recoverable failure as a value (domain, code, description, user info), handed to
// completion callbacks. It may carry the underlying error that caused it. Cheap to copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/value.h"

namespace dz {

class Error {
 public:
  Error(std::string domain, int64_t code, std::string description = {}, Value::Map userInfo = {},
        std::shared_ptr<const Error> underlying = nullptr)
      : domain_(std::move(domain)),
        code_(code),
        description_(std::move(description)),
        userInfo_(std::move(userInfo)),
        underlying_(std::move(underlying)) {}

  const std::string& domain() const { return domain_; }
  int64_t code() const { return code_; }
  // The description given at creation, else "The operation couldn't be completed. (domain error
  // code.)", as users of such errors expect to read something.
  std::string localizedDescription() const;
  const Value::Map& userInfo() const { return userInfo_; }
  const Error* underlyingError() const { return underlying_.get(); }

  friend bool operator==(const Error& a, const Error& b) {
    return a.domain_ == b.domain_ && a.code_ == b.code_;
  }

 private:
  std::string domain_;
  int64_t code_;
  std::string description_;
  Value::Map userInfo_;
  std::shared_ptr<const Error> underlying_;
};

using ErrorPtr = std::shared_ptr<const Error>;

}  // namespace dz
