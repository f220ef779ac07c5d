// The keys and codes of the realtime database wire protocol, shared by the client's connection
// layers and the development server so both sides read and write the same messages. Header-only
// constants; query parameters in wire form are the query params' own business.
//
// Text layer: JSON objects as UTF-8 text frames; a message longer than one frame is preceded by a
// frame holding the decimal number of frames; "0" alone is the keep-alive.
// Envelope: {"t": "d" | "c", "d": message}.
//   data, client to server:  {"r": request number, "a": action, "b": body}
//   data, server to client:  reply {"r": number, "b": {"s": status, "d": data}},
//                            push  {"a": action, "b": body}, or {"error": text}
//   control, server to client: {"t": "h", "d": {"ts", "v", "h", "s"}} handshake,
//                              {"t": "s", "d": reason} shutdown, {"t": "r", "d": host} reset
#pragma once

#include <cstddef>
#include <string_view>

namespace dz::database::wire {

// Connection URL: scheme://host/.ws?v=5&ns=<namespace>[&ls=<last session id>]
inline constexpr std::string_view kWebSocketPath = "/.ws";
inline constexpr std::string_view kUrlVersionParam = "v";
inline constexpr std::string_view kUrlNamespaceParam = "ns";
inline constexpr std::string_view kUrlLastSessionParam = "ls";
inline constexpr std::string_view kProtocolVersion = "5";

// Framing.
inline constexpr size_t kMaxFrameCharacters = 16384;
// A frame received between messages is a frame count only when shorter than this.
inline constexpr size_t kFrameCountMaxLength = 5;
inline constexpr std::string_view kKeepAliveFrame = "0";

// Envelope.
inline constexpr std::string_view kEnvelopeType = "t";
inline constexpr std::string_view kEnvelopeData = "d";
inline constexpr std::string_view kMessageTypeData = "d";
inline constexpr std::string_view kMessageTypeControl = "c";

// Control messages (server to client), inside the envelope's "d": {"t": type, "d": payload}.
inline constexpr std::string_view kControlType = "t";
inline constexpr std::string_view kControlData = "d";
inline constexpr std::string_view kControlHandshake = "h";
inline constexpr std::string_view kControlShutdown = "s";
inline constexpr std::string_view kControlReset = "r";

// Handshake payload.
inline constexpr std::string_view kHandshakeTimestamp = "ts";  // server time, ms since 1970
inline constexpr std::string_view kHandshakeVersion = "v";     // informational
inline constexpr std::string_view kHandshakeHost = "h";
inline constexpr std::string_view kHandshakeSessionId = "s";

// Requests, replies and pushes (data messages).
inline constexpr std::string_view kRequestNumber = "r";
inline constexpr std::string_view kRequestAction = "a";
inline constexpr std::string_view kRequestBody = "b";
inline constexpr std::string_view kServerError = "error";
inline constexpr std::string_view kReplyStatus = "s";
inline constexpr std::string_view kReplyData = "d";

// Request actions (client to server).
inline constexpr std::string_view kActionListen = "q";
inline constexpr std::string_view kActionUnlisten = "n";
inline constexpr std::string_view kActionPut = "p";
inline constexpr std::string_view kActionMerge = "m";
inline constexpr std::string_view kActionOnDisconnectPut = "o";
inline constexpr std::string_view kActionOnDisconnectMerge = "om";
inline constexpr std::string_view kActionOnDisconnectCancel = "oc";
inline constexpr std::string_view kActionStats = "s";
inline constexpr std::string_view kActionAuth = "auth";
inline constexpr std::string_view kActionUnauth = "unauth";

// Request body keys.
inline constexpr std::string_view kBodyPath = "p";
inline constexpr std::string_view kBodyData = "d";
inline constexpr std::string_view kBodyHash = "h";
inline constexpr std::string_view kBodyQuery = "q";
inline constexpr std::string_view kBodyTag = "t";
inline constexpr std::string_view kBodyCompoundHash = "ch";
inline constexpr std::string_view kCompoundHashHashes = "hs";
inline constexpr std::string_view kCompoundHashPosts = "ps";
inline constexpr std::string_view kAuthCredential = "cred";
inline constexpr std::string_view kStatsCounters = "c";

// Listen reply payload: {"w": ["no_index", ...]}.
inline constexpr std::string_view kListenWarnings = "w";
inline constexpr std::string_view kWarningNoIndex = "no_index";

// Push actions (server to client) and their body keys.
inline constexpr std::string_view kPushData = "d";
inline constexpr std::string_view kPushMerge = "m";
inline constexpr std::string_view kPushRangeMerge = "rm";
inline constexpr std::string_view kPushListenRevoked = "c";
inline constexpr std::string_view kPushAuthRevoked = "ac";
inline constexpr std::string_view kPushSecurityDebug = "sd";
// Data pushes carry kBodyPath, kBodyData and kBodyTag; a range is {"s", "e", "m"}.
inline constexpr std::string_view kRangeStart = "s";
inline constexpr std::string_view kRangeEnd = "e";
inline constexpr std::string_view kRangeUpdates = "m";
inline constexpr std::string_view kAuthRevokedStatus = "s";
inline constexpr std::string_view kAuthRevokedReason = "d";
inline constexpr std::string_view kSecurityDebugMessage = "msg";

// Statuses. The server sends "ok" or its own status; the client makes the last three itself.
inline constexpr std::string_view kStatusOk = "ok";
inline constexpr std::string_view kStatusPermissionDenied = "permission_denied";
inline constexpr std::string_view kStatusExpiredToken = "expired_token";
inline constexpr std::string_view kStatusUnavailable = "unavailable";
inline constexpr std::string_view kStatusDataStale = "datastale";
inline constexpr std::string_view kStatusDisconnect = "disconnect";
inline constexpr std::string_view kStatusWriteCanceled = "write_canceled";

}  // namespace dz::database::wire
