#include "database/utilities/string_utilities.h"

#include "platform/text.h"

namespace dz::database {

std::string sanitizedForUserAgent(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c == '/' || c == '_') c = '|';
  }
  return result;
}

std::string urlEncoded(std::string_view text) {
  return platform::percentEncoded(text, [](unsigned char byte) {
    return platform::isAsciiAlphanumeric(byte) || byte == '-' || byte == '_' || byte == '~';
  });
}

}  // namespace dz::database
