// What the TLS clients (socket streams, the session fetcher) share: extra trust anchors, a PEM
// file named by a client's settings or by the environment variable DZ_CA_FILE, added over the
// system trust store; and how a failed handshake says that the server answered something other
// than TLS, or nothing. A CA file that gives no anchors is logged once per process and file name,
// and the caller puts the returned note into the failure that verification then meets.
// Thread-safe.
#pragma once

#include <openssl/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace dz::platform {

inline constexpr char kCaFileEnvironment[] = "DZ_CA_FILE";

// How a server answered a client's TLS hello, told from the first record it sent.
enum class HelloAnswer : uint8_t { kNone, kTls, kPlainText };

// Whether `received` starts as a TLS server's first answer does: an alert or a handshake record.
bool startsAsTlsAnswer(std::string_view received);
// For OpenSSL's message callback on a connection being set up: keeps in `answer` how the first
// record the server sent began, once.
void noteHelloAnswer(std::atomic<HelloAnswer>& answer, int written, int contentType,
                     const void* bytes, size_t length);
// Appended to a failed handshake's description: what the server's answer says of the URL (empty
// when it answered in TLS).
std::string_view helloAnswerNote(HelloAnswer answer);

// The file DZ_CA_FILE names; empty when it is unset or empty.
std::string environmentCaFile();

// Adds the certificates in `file` to `context`'s trust store. Empty when they loaded; otherwise
// why not, naming `source` (the setting or variable that gave the file) and the file.
std::string addCaFile(SSL_CTX* context, const std::string& file, std::string_view source);

}  // namespace dz::platform
