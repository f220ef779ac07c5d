#include "toolbox/url_arguments.h"

#include "platform/text.h"

namespace dz::toolbox {
std::string stringByEscapingForURLArgument(std::string_view text) {
  return platform::percentEncoded(text, [](unsigned char c) {
    return platform::isAsciiAlphanumeric(c) || c == '-' || c == '.' || c == '_' || c == '~';
  });
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
