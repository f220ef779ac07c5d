// The opening handshake of RFC 6455 section 4: the client's upgrade request, the scanner that
// finds the end of the server's response header, its parser and the checks it must pass. Free
// functions over values; thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "database/websocket/url.h"
#include "platform/error.h"

namespace dz::websocket {

inline constexpr unsigned kWebSocketVersion = 13;
inline constexpr size_t kDefaultMaxResponseHeaderBytes = 16 * 1024;

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// base64 of the SHA-1 digest of the bytes.
std::string sha1ThenBase64(std::string_view bytes);
// 16 bytes from the secure random source as 24 characters of base64.
std::string makeSecKey();
// The Sec-WebSocket-Accept value a server must answer `secKey` with.
std::string acceptValueFor(std::string_view secKey);

struct HandshakeRequest {
  Url url;
  std::string secKey;
  std::optional<std::string> userAgent;
  std::optional<std::vector<std::string>> protocols;
  // The caller's own fields; each replaces a field of the same name (any case) or is added.
  HeaderFields extraFields;

  std::string serialize() const;
};

// Offset just past the first "\r\n\r\n" in `bytes`, or npos. The search starts at `from`, so a
// caller that re-scans a growing buffer passes where the last scan could have left a partial
// match (size - 3).
size_t findHeaderEnd(std::string_view bytes, size_t from = 0);

struct ResponseHeader {
  int statusCode = 0;
  HeaderFields fields;

  // The value of the first field of that name (any case), or null.
  const std::string* field(std::string_view name) const;
};

// The status code of a response's first line ("HTTP/1.x NNN reason"), if it is one.
std::optional<int> parseStatusLine(std::string_view text);

// Parses a complete response header (status line and fields, ending in an empty line). None when
// it is not an HTTP/1.x response.
std::optional<ResponseHeader> parseResponseHeader(std::string_view text);

// Null when the response completes the handshake for `secKey`: status 101, "Upgrade: websocket",
// a "Connection" naming "upgrade", the right accept value, no subprotocol that was not asked for
// (with none asked for, any named subprotocol is refused) and no extension the request's own
// fields `requestFields` did not offer (RFC 6455 section 4.1). On success the chosen subprotocol,
// if any, is stored in `protocol`.
ErrorPtr checkResponse(const ResponseHeader& response, std::string_view secKey,
                       const std::optional<std::vector<std::string>>& protocols,
                       std::optional<std::string>& protocol,
                       const HeaderFields& requestFields = {});

// The error for a response that is not an acceptable upgrade (status code 0 when unreadable).
ErrorPtr badResponseError(int statusCode);
// The error for a response header longer than `limit` bytes.
ErrorPtr responseHeaderTooLongError(size_t limit);
// The error for a connection that ended before the response header did, with `received` of it;
// `secure`: the connection has TLS.
ErrorPtr unansweredHandshakeError(bool secure, std::string_view received);

}  // namespace dz::websocket
