#include "database/websocket/url.h"

#include <algorithm>
#include <charconv>

#include "platform/text.h"

namespace dz::websocket {
namespace {

std::string bracketed(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  // Spaces and control characters would end up inside the request line.
  if (std::any_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; })) {
    return std::nullopt;
  }
  const size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string_view::npos || schemeEnd == 0) return std::nullopt;
  Url url;
  url.scheme = platform::asciiLowercased(text.substr(0, schemeEnd));
  std::string_view rest = text.substr(schemeEnd + 3);
  const size_t authorityEnd = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authorityEnd);
  std::string_view tail =
      authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
  tail = tail.substr(0, tail.find('#'));
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority = authority.substr(at + 1);
  }
  std::string_view portText;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    url.host = std::string(authority.substr(1, close - 1));
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      portText = after.substr(1);
    }
  } else {
    const size_t colon = authority.find(':');
    url.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
  }
  if (url.host.empty()) return std::nullopt;
  if (!portText.empty()) {
    unsigned port = 0;
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (error != std::errc() || end != portText.data() + portText.size() || port > 65535) {
      return std::nullopt;
    }
    url.port = static_cast<uint16_t>(port);
  }
  url.pathAndQuery = std::string(tail);
  if (url.pathAndQuery.empty() || url.pathAndQuery.front() == '?') {
    url.pathAndQuery = "/" + url.pathAndQuery;
  }
  return url;
}

bool Url::isSecure() const { return scheme == "wss" || scheme == "https"; }

uint16_t Url::effectivePort() const { return port ? *port : (isSecure() ? 443 : 80); }

std::string Url::hostField() const {
  return port ? bracketed(host) + ":" + std::to_string(*port) : bracketed(host);
}

std::string Url::origin() const {
  const std::string originScheme = scheme == "wss" ? "https" : scheme == "ws" ? "http" : scheme;
  return originScheme + "://" + hostField() + "/";
}

std::string Url::toString() const { return scheme + "://" + hostField() + pathAndQuery; }

}  // namespace dz::websocket
