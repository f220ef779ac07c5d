#include "database/websocket/handshake.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "database/websocket/errors.h"
#include "platform/crypto.h"
#include "platform/tls_client.h"

namespace dz::websocket {
namespace {

constexpr char kAcceptGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr size_t kSecKeyRandomBytes = 16;
constexpr char kBadResponse[] = "received bad response code from server ";
constexpr char kInvalidAccept[] = "Invalid Sec-WebSocket-Accept response";
constexpr char kUnrequestedProtocol[] =
    "Server specified Sec-WebSocket-Protocol that wasn't requested";
constexpr char kUnofferedExtension[] =
    "Server specified Sec-WebSocket-Extensions that weren't requested";
constexpr char kNotUpgraded[] =
    "Server answered 101 without Upgrade: websocket and Connection: Upgrade";
constexpr char kHeaderTooLong[] = "Server's handshake response header is longer than ";
constexpr char kUnanswered[] = "Server closed the connection before answering the handshake";
constexpr char kAnsweredInTls[] = "Server answered the handshake in TLS: the URL needs https";
constexpr char kMayWantTls[] =
    " (as a TLS server does to a plain connection: does the URL need https?)";
constexpr char kExtensionsField[] = "Sec-WebSocket-Extensions";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Calls `visit` with each item of a comma-separated field value, trimmed, until it returns true;
// returns whether one did.
template <typename Visit>
bool anyItem(std::string_view value, Visit visit) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    if (visit(trim(value.substr(0, comma)))) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

// Whether a comma-separated field value names `token` (any case).
bool hasToken(std::string_view value, std::string_view token) {
  return anyItem(value, [&](std::string_view item) { return equalsIgnoringCase(item, token); });
}

// An extension item's name, without its parameters ("name; param=1").
std::string_view extensionName(std::string_view item) {
  return trim(item.substr(0, item.find(';')));
}

// Whether the response names an extension the request's own fields did not offer.
bool namesUnofferedExtension(const ResponseHeader& response, const HeaderFields& requestFields) {
  std::string_view offered;
  for (const auto& [name, value] : requestFields) {
    if (equalsIgnoringCase(name, kExtensionsField)) offered = value;
  }
  for (const auto& [name, value] : response.fields) {
    if (!equalsIgnoringCase(name, kExtensionsField)) continue;
    const bool unoffered = anyItem(value, [&](std::string_view item) {
      const std::string_view used = extensionName(item);
      return !used.empty() && !anyItem(offered, [&](std::string_view offer) {
        return equalsIgnoringCase(extensionName(offer), used);
      });
    });
    if (unoffered) return true;
  }
  return false;
}

void setField(HeaderFields& fields, const std::string& name, const std::string& value) {
  for (auto& field : fields) {
    if (equalsIgnoringCase(field.first, name)) {
      field.second = value;
      return;
    }
  }
  fields.emplace_back(name, value);
}

ErrorPtr handshakeError(std::string description) {
  return std::make_shared<Error>(kWebSocketErrorDomain, kInvalidHandshakeCode,
                                 std::move(description));
}

}  // namespace

std::string sha1ThenBase64(std::string_view bytes) {
  return platform::base64Encode(platform::sha1(bytes));
}

std::string makeSecKey() {
  return platform::base64Encode(platform::secureRandomBytes(kSecKeyRandomBytes));
}

std::string acceptValueFor(std::string_view secKey) {
  std::string text(secKey);
  text += kAcceptGuid;
  return sha1ThenBase64(text);
}

std::string HandshakeRequest::serialize() const {
  HeaderFields fields;
  fields.emplace_back("Host", url.hostField());
  fields.emplace_back("Upgrade", "websocket");
  fields.emplace_back("Connection", "Upgrade");
  if (userAgent) fields.emplace_back("User-Agent", *userAgent);
  fields.emplace_back("Sec-WebSocket-Key", secKey);
  fields.emplace_back("Sec-WebSocket-Version", std::to_string(kWebSocketVersion));
  fields.emplace_back("Origin", url.origin());
  if (protocols) {
    std::string joined;
    for (const auto& name : *protocols) joined += (joined.empty() ? "" : ", ") + name;
    fields.emplace_back("Sec-WebSocket-Protocol", joined);
  }
  for (const auto& [name, value] : extraFields) setField(fields, name, value);

  std::string text = "GET " + url.pathAndQuery + " HTTP/1.1\r\n";
  for (const auto& [name, value] : fields) {
    // Line breaks inside a caller's field would split the request.
    if (name.find_first_of("\r\n") != std::string::npos) continue;
    if (value.find_first_of("\r\n") != std::string::npos) continue;
    text += name + ": " + value + "\r\n";
  }
  text += "\r\n";
  return text;
}

size_t findHeaderEnd(std::string_view bytes, size_t from) {
  if (from >= bytes.size()) return std::string_view::npos;
  const size_t at = bytes.find(kHeaderEnd, from);
  return at == std::string_view::npos ? at : at + kHeaderEnd.size();
}

const std::string* ResponseHeader::field(std::string_view name) const {
  for (const auto& field : fields) {
    if (equalsIgnoringCase(field.first, name)) return &field.second;
  }
  return nullptr;
}

std::optional<int> parseStatusLine(std::string_view text) {
  const std::string_view statusLine = text.substr(0, text.find("\r\n"));
  // "HTTP/1.x SSS reason"
  if (statusLine.size() < 12 || statusLine.substr(0, 7) != "HTTP/1." || statusLine[8] != ' ') {
    return std::nullopt;
  }
  if (statusLine.size() > 12 && statusLine[12] != ' ') return std::nullopt;
  int status = 0;
  const std::string_view code = statusLine.substr(9, 3);
  const auto [end, error] = std::from_chars(code.data(), code.data() + code.size(), status);
  if (error != std::errc() || end != code.data() + code.size()) return std::nullopt;
  return status;
}

std::optional<ResponseHeader> parseResponseHeader(std::string_view text) {
  const size_t lineEnd = text.find("\r\n");
  if (lineEnd == std::string_view::npos) return std::nullopt;
  const auto status = parseStatusLine(text);
  if (!status) return std::nullopt;
  ResponseHeader response;
  response.statusCode = *status;

  std::string_view rest = text.substr(lineEnd + 2);
  while (true) {
    const size_t end = rest.find("\r\n");
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 2);
    if (line.empty()) break;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    response.fields.emplace_back(std::string(line.substr(0, colon)),
                                 std::string(trim(line.substr(colon + 1))));
  }
  return response;
}

ErrorPtr badResponseError(int statusCode) {
  return std::make_shared<Error>(kStreamErrorDomain, kBadResponseCode,
                                 kBadResponse + std::to_string(static_cast<unsigned>(statusCode)));
}

ErrorPtr responseHeaderTooLongError(size_t limit) {
  return handshakeError(kHeaderTooLong + std::to_string(limit) + " bytes");
}

ErrorPtr unansweredHandshakeError(bool secure, std::string_view received) {
  if (secure) return handshakeError(kUnanswered);
  if (platform::startsAsTlsAnswer(received)) return handshakeError(kAnsweredInTls);
  return handshakeError(received.empty() ? std::string(kUnanswered) + kMayWantTls : kUnanswered);
}

ErrorPtr checkResponse(const ResponseHeader& response, std::string_view secKey,
                       const std::optional<std::vector<std::string>>& protocols,
                       std::optional<std::string>& protocol, const HeaderFields& requestFields) {
  if (response.statusCode != 101) return badResponseError(response.statusCode);
  const std::string* upgrade = response.field("Upgrade");
  const std::string* connection = response.field("Connection");
  if (!upgrade || !equalsIgnoringCase(*upgrade, "websocket") || !connection ||
      !hasToken(*connection, "upgrade")) {
    return handshakeError(kNotUpgraded);
  }
  const std::string* accept = response.field("Sec-WebSocket-Accept");
  if (!accept || *accept != acceptValueFor(secKey)) return handshakeError(kInvalidAccept);
  if (const std::string* chosen = response.field("Sec-WebSocket-Protocol")) {
    if (!protocols ||
        std::find(protocols->begin(), protocols->end(), *chosen) == protocols->end()) {
      return handshakeError(kUnrequestedProtocol);
    }
    protocol = *chosen;
  }
  if (namesUnofferedExtension(response, requestFields)) {
    return handshakeError(kUnofferedExtension);
  }
  return nullptr;
}

}  // namespace dz::websocket
