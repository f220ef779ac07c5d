#include "database/websocket/handshake.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "database/websocket/errors.h"
#include "platform/crypto.h"

namespace dz::websocket {
namespace {

constexpr char kAcceptGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr size_t kSecKeyRandomBytes = 16;
constexpr char kBadResponse[] = "received bad response code from server ";
constexpr char kInvalidAccept[] = "Invalid Sec-WebSocket-Accept response";
constexpr char kUnrequestedProtocol[] =
    "Server specified Sec-WebSocket-Protocol that wasn't requested";
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

// Whether a comma-separated field value names `token` (any case).
bool hasToken(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    if (equalsIgnoringCase(trim(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
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

Error handshakeError(const char* description) {
  return Error(kWebSocketErrorDomain, kInvalidHandshakeCode, description);
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

Error badResponseError(int statusCode) {
  return Error(kStreamErrorDomain, kBadResponseCode,
               kBadResponse + std::to_string(static_cast<unsigned>(statusCode)));
}

std::optional<Error> checkResponse(const ResponseHeader& response, std::string_view secKey,
                                   const std::optional<std::vector<std::string>>& protocols,
                                   std::optional<std::string>& protocol) {
  const std::string* upgrade = response.field("Upgrade");
  const std::string* connection = response.field("Connection");
  if (response.statusCode != 101 || !upgrade || !equalsIgnoringCase(*upgrade, "websocket") ||
      !connection || !hasToken(*connection, "upgrade")) {
    return badResponseError(response.statusCode);
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
  return std::nullopt;
}

}  // namespace dz::websocket
