// The two sides of one remote procedure call of the authentication server. A request knows its
// URL and builds its JSON body; a response knows the "kind" its answer must carry, fills itself
// from the decoded answer and may map the endpoint's own server error messages. Requests are
// value objects; a response is filled once, on the authentication work queue.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/value.h"

namespace dz::auth {

class AuthRPCRequest {
 public:
  virtual ~AuthRPCRequest() = default;
  virtual std::string requestURL() const = 0;
  // The body as a JSON object; none with `error` set when it cannot be built.
  virtual std::optional<Value::Map> unencodedHTTPRequestBody(ErrorPtr& error) const = 0;
};

class AuthRPCResponse {
 public:
  virtual ~AuthRPCResponse() = default;
  // The "kind" the answer must carry; none for no check.
  virtual std::optional<std::string> expectedKind() const = 0;
  // Fills the response; the error when the answer is unusable.
  virtual ErrorPtr setWithDictionary(const Value::Map& dictionary) = 0;
  // The endpoint's own mapping of a server error message; null when it has none.
  virtual ErrorPtr clientErrorWithServerErrorMessage(const std::string&) const { return nullptr; }
};

// Reads members of a decoded answer. A member of the wrong type is left unset, as if absent: the
// server has already done what was asked, and a member the client can do without must not turn
// that into a failure. Members it cannot do without (tokens, the account's identifier) are read
// with `essentialString`, which marks the answer unusable when the member has the wrong type.
class ResponseReader {
 public:
  explicit ResponseReader(const Value::Map& dictionary) : dictionary_(dictionary) {}

  std::optional<std::string> string(std::string_view key) const;
  std::optional<std::string> essentialString(std::string_view key);
  bool boolean(std::string_view key) const;
  // A number of seconds carried as a decimal string ("3600"), as the date that many seconds from
  // now (seconds since 1970). Anything else (a JSON number, a sign, a fraction, blanks, more than
  // ten years) leaves none, so the next token fetch exchanges the refresh token.
  std::optional<double> expiry(std::string_view key) const;
  // The member's strings (or objects); elements of another type are left out.
  std::vector<std::string> strings(std::string_view key) const;
  std::vector<const Value::Map*> objects(std::string_view key) const;

  bool failed() const { return failed_; }

 private:
  const Value* member(std::string_view key) const;
  const Value::Map& dictionary_;
  bool failed_ = false;
};

}  // namespace dz::auth
