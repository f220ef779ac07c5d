#include "database/core/parsed_url.h"

#include <string>

#include "platform/exception.h"
#include "platform/text.h"

namespace dz::database {
namespace {

constexpr char kNoDatabaseFoundForInput[] = "No Dezuvura database found for input: ";
// Schemes that ask for TLS whatever the port.
constexpr char kSecureScheme[] = "https";
constexpr char kSecureWebSocketScheme[] = "wss";
constexpr size_t kHostLabels = 3;

bool hasThreeNonEmptyLabels(std::string_view host) {
  size_t labels = 0;
  while (true) {
    size_t dot = host.find('.');
    if (host.substr(0, dot).empty()) return false;
    ++labels;
    if (dot == std::string_view::npos) break;
    host.remove_prefix(dot + 1);
  }
  return labels == kHostLabels;
}

// Well-formed UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool isWellFormedUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80   ? 1
                    : lead < 0xC2 ? 0
                    : lead < 0xE0 ? 2
                    : lead < 0xF0 ? 3
                    : lead < 0xF5 ? 4
                                  : 0;
    if (length == 0 || i + length > text.size()) return false;
    auto second = static_cast<unsigned char>(length > 1 ? text[i + 1] : 0x80);
    unsigned char low = 0x80, high = 0xBF;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    if (second < low || second > high) return false;
    for (size_t k = 2; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

// The text with its %XX sequences decoded; the text as written when they would not decode to
// UTF-8 text.
std::string utf8PercentDecoded(std::string_view text) {
  std::string decoded = platform::percentDecoded(text);
  return isWellFormedUtf8(decoded) ? decoded : std::string(text);
}

}  // namespace

ParsedUrl parseUrl(std::string_view url) {
  std::string_view rest = url;
  std::string scheme;
  if (size_t separator = rest.find("//"); separator != std::string_view::npos) {
    std::string_view schemeText = rest.substr(0, separator);
    if (schemeText.ends_with(':')) schemeText.remove_suffix(1);
    scheme = platform::asciiLowercased(schemeText);
    rest.remove_prefix(separator + 2);
  }
  size_t slash = rest.find('/');
  std::string host = platform::asciiLowercased(rest.substr(0, slash));
  std::string_view pathText =
      slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);

  if (!hasThreeNonEmptyLabels(host) || !isPlainHostAndPort(host)) {
    throw Exception(kNoDatabaseSpecified, kNoDatabaseFoundForInput + std::string(url));
  }
  bool secure = host.find(':') == std::string::npos || scheme == kSecureScheme ||
                scheme == kSecureWebSocketScheme;
  std::string ns = host.substr(0, host.find('.'));
  return ParsedUrl{RepoInfo::create(std::move(host), secure, std::move(ns)),
                   Path(utf8PercentDecoded(pathText))};
}

}  // namespace dz::database
