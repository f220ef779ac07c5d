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

// Reads members of a decoded answer strictly: a member that is present (and not null) with the
// wrong type makes the reader fail, so that an answer of the wrong shape is refused as a whole
// rather than read as empty values.
class ResponseReader {
 public:
  explicit ResponseReader(const Value::Map& dictionary) : dictionary_(dictionary) {}

  std::optional<std::string> string(std::string_view key);
  bool boolean(std::string_view key);
  // A number of seconds carried as a decimal string ("3600"), as the date that many seconds from
  // now (seconds since 1970). Anything else (a sign, a fraction, blanks, a JSON number, more than
  // ten years) fails.
  std::optional<double> expiry(std::string_view key);
  std::vector<std::string> strings(std::string_view key);
  // The member's array of objects.
  std::vector<const Value::Map*> objects(std::string_view key);

  bool failed() const { return failed_; }
  // Marks the answer as unusable.
  void fail() { failed_ = true; }

 private:
  const Value* member(std::string_view key) const;
  // The member's array when every element is accepted; empty (and failed) otherwise.
  template <class Element, class Accepts, class Take>
  std::vector<Element> array(std::string_view key, Accepts accepts, Take take);
  const Value::Map& dictionary_;
  bool failed_ = false;
};

}  // namespace dz::auth
