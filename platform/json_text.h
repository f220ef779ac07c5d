// JSON text read with every number exact. Boost.JSON 1.81 converts some decimal texts to a double
// one unit in the last place off; data read that way would differ from what its writer holds (and
// hash differently). These readers take the number's text and convert it with std::from_chars,
// which rounds correctly. Plain functions; safe from any thread.
#pragma once

#include <boost/json/parse_options.hpp>
#include <boost/json/value.hpp>
#include <boost/system/error_code.hpp>
#include <string>
#include <string_view>

namespace dz {

// The text of one JSON number as a parser hands it over in parts, turned into the double it
// spells. For use inside a Boost.JSON basic_parser handler: append() from on_number_part, take()
// from on_double.
class JsonNumberText {
 public:
  void append(std::string_view part) { text_.append(part); }
  // The double of the text so far plus `last`, correctly rounded; `approximate` (the parser's own
  // value) when the text is out of range. Clears the text for the next number.
  double take(std::string_view last, double approximate);
  // Drops the text of an integer the parser converted itself.
  void clear() { text_.clear(); }

 private:
  std::string text_;
};

// Parses one JSON text, as boost::json::parse does, with exact numbers. Sets `ec` and returns null
// for malformed text or text past `options.max_depth`.
boost::json::value parseJsonExact(std::string_view text, boost::system::error_code& ec,
                                  const boost::json::parse_options& options = {});

}  // namespace dz
