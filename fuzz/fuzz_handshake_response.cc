// Arbitrary bytes as a server's handshake answer: the header scanner, the parser and the checks
// must neither crash nor accept an answer without the right accept value.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "database/websocket/handshake.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
  const size_t end = dz::websocket::findHeaderEnd(text, size % 7);
  const std::string_view header = end == std::string_view::npos ? text : text.substr(0, end);
  dz::websocket::parseStatusLine(header);
  const auto response = dz::websocket::parseResponseHeader(header);
  if (!response) return 0;
  std::optional<std::string> protocol;
  const auto error =
      dz::websocket::checkResponse(*response, key, std::vector<std::string>{"chat"}, protocol);
  if (!error) {
    const std::string* accept = response->field("Sec-WebSocket-Accept");
    if (!accept || *accept != dz::websocket::acceptValueFor(key) || response->statusCode != 101) {
      std::abort();
    }
  }
  return 0;
}
