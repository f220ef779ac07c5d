#include "toolbox/url_arguments.h"

namespace dz::toolbox {
namespace {

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

}  // namespace

std::string stringByEscapingForURLArgument(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size());
  for (unsigned char c : text) {
    if (isUnreserved(c)) {
      escaped.push_back(static_cast<char>(c));
    } else {
      escaped.push_back('%');
      escaped.push_back(kHex[c >> 4]);
      escaped.push_back(kHex[c & 0xf]);
    }
  }
  return escaped;
}

std::string httpArgumentsString(const std::map<std::string, std::string, std::less<>>& arguments) {
  std::string result;
  for (const auto& [key, value] : arguments) {
    if (!result.empty()) result.push_back('&');
    result += stringByEscapingForURLArgument(key) + "=" + stringByEscapingForURLArgument(value);
  }
  return result;
}

}  // namespace dz::toolbox
