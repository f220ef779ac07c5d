// The parts of a ws/wss (or http/https) URL that the socket needs: where to connect, what to put
// in the request line and the Host and Origin fields. A value type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dz::websocket {

struct Url {
  std::string scheme;  // lower case
  std::string host;    // without brackets for IPv6 literals
  std::optional<uint16_t> port;
  std::string pathAndQuery;  // "/" when the URL has no path

  // None for text that is not an absolute URL with a host and a valid port, or that holds spaces
  // or control characters.
  static std::optional<Url> parse(std::string_view text);

  // "wss" and "https".
  bool isSecure() const;
  // The named port, else 443 when secure and 80 otherwise.
  uint16_t effectivePort() const;
  // The Host field: the host, with ":port" when the URL names a port.
  std::string hostField() const;
  // "https://host:port/" or "http://host/": ws schemes become http ones, the path is dropped.
  std::string origin() const;
  std::string toString() const;
};

}  // namespace dz::websocket
