// What the TLS clients (socket streams, the session fetcher) share: extra trust anchors, a PEM
// file named by a client's settings or by the environment variable DZ_CA_FILE, added over the
// system trust store; and how a failure says that the server did not answer TLS. A CA file that
// gives no anchors is logged once per process and file name, and the caller puts the returned
// note into the failure that verification then meets. Thread-safe.
#pragma once

#include <openssl/types.h>

#include <string>
#include <string_view>

namespace dz::platform {

inline constexpr char kCaFileEnvironment[] = "DZ_CA_FILE";
// Appended to a failed handshake's description when nothing came back from the server.
inline constexpr char kNoTlsAnswer[] = " (the server did not answer TLS: a plain-text port?)";

// The file DZ_CA_FILE names; empty when it is unset or empty.
std::string environmentCaFile();

// Adds the certificates in `file` to `context`'s trust store. Empty when they loaded; otherwise
// why not, naming `source` (the setting or variable that gave the file) and the file.
std::string addCaFile(SSL_CTX* context, const std::string& file, std::string_view source);

}  // namespace dz::platform
