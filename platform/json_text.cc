#include "platform/json_text.h"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>
#include <charconv>
#include <cstdint>
#include <system_error>

namespace dz {

double JsonNumberText::take(std::string_view last, double approximate) {
  const char* first;
  const char* end;
  if (text_.empty()) {
    first = last.data();
    end = last.data() + last.size();
  } else {
    text_.append(last);
    first = text_.data();
    end = text_.data() + text_.size();
  }
  double exact = 0;
  auto [ptr, ec] = std::from_chars(first, end, exact);
  text_.clear();
  // Past the double range the parser's infinity or zero stands.
  if (ec != std::errc() || ptr != end) return approximate;
  return exact;
}

namespace {

using boost::json::string_view;
using boost::system::error_code;

// Boost.JSON's own document builder with the numbers taken from their text.
class ExactValueHandler {
 public:
  static constexpr size_t max_object_size = boost::json::object::max_size();
  static constexpr size_t max_array_size = boost::json::array::max_size();
  static constexpr size_t max_key_size = boost::json::string::max_size();
  static constexpr size_t max_string_size = boost::json::string::max_size();

  boost::json::value_stack stack;

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_object_begin(error_code&) { return true; }
  bool on_object_end(size_t n, error_code&) {
    stack.push_object(n);
    return true;
  }
  bool on_array_begin(error_code&) { return true; }
  bool on_array_end(size_t n, error_code&) {
    stack.push_array(n);
    return true;
  }
  bool on_key_part(string_view s, size_t, error_code&) {
    stack.push_chars(s);
    return true;
  }
  bool on_key(string_view s, size_t, error_code&) {
    stack.push_key(s);
    return true;
  }
  bool on_string_part(string_view s, size_t, error_code&) {
    stack.push_chars(s);
    return true;
  }
  bool on_string(string_view s, size_t, error_code&) {
    stack.push_string(s);
    return true;
  }
  bool on_number_part(string_view s, error_code&) {
    number_.append(s);
    return true;
  }
  bool on_int64(int64_t i, string_view, error_code&) {
    number_.clear();
    stack.push_int64(i);
    return true;
  }
  bool on_uint64(uint64_t u, string_view, error_code&) {
    number_.clear();
    stack.push_uint64(u);
    return true;
  }
  bool on_double(double d, string_view s, error_code&) {
    stack.push_double(number_.take(s, d));
    return true;
  }
  bool on_bool(bool b, error_code&) {
    stack.push_bool(b);
    return true;
  }
  bool on_null(error_code&) {
    stack.push_null();
    return true;
  }
  bool on_comment_part(string_view, error_code&) { return true; }
  bool on_comment(string_view, error_code&) { return true; }

 private:
  JsonNumberText number_;
};

}  // namespace

boost::json::value parseJsonExact(std::string_view text, error_code& ec,
                                  const boost::json::parse_options& options) {
  boost::json::basic_parser<ExactValueHandler> parser(options);
  parser.handler().stack.reset();
  ec = {};
  size_t used = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec && used < text.size()) ec = boost::json::error::extra_data;
  if (ec || !parser.done()) {
    if (!ec) ec = boost::json::error::incomplete;
    return nullptr;
  }
  return parser.handler().stack.release();
}

}  // namespace dz
