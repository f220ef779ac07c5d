// URL-argument encoding: percent-escapes for query strings and form bodies.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace dz::toolbox {

// Escapes every character except letters, digits and "-._~": the reserved characters
// "!*'();:@&=+$,/?%#[]" as well as those URLs never allow (blanks, controls, non-ASCII bytes).
// Upper-case hexadecimal.
std::string stringByEscapingForURLArgument(std::string_view text);

// "key=value" pairs joined by "&", both sides escaped, in the map's (sorted) order.
std::string httpArgumentsString(const std::map<std::string, std::string, std::less<>>& arguments);

}  // namespace dz::toolbox
