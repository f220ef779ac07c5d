// Error domains and codes of the WebSocket client, as its delegate receives them.
#pragma once

namespace dz::websocket {

inline constexpr char kWebSocketErrorDomain[] = "WSWebSocketErrorDomain";
// Transport and handshake-status failures.
inline constexpr char kStreamErrorDomain[] = "com.vivuro.dezuvura.websocket.StreamErrorDomain";

inline constexpr int kBadResponseCode = 2132;
inline constexpr int kInvalidHandshakeCode = 2133;
inline constexpr int kWriteErrorCode = 2145;
inline constexpr int kInvalidServerCertCode = 23556;

}  // namespace dz::websocket
