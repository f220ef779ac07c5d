#include "platform/tls_client.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/log.h"

namespace dz::platform {
namespace {

constexpr char kNoTlsAnswer[] = " (the server did not answer TLS: a plain-text port?)";
constexpr char kPlainTextAnswer[] = " (the server answered in plain text: does the URL need http?)";
// A TLS record starts with its type and major version 3.
constexpr std::string_view kAlertStart = "\x15\x03";
constexpr std::string_view kHandshakeStart = "\x16\x03";

}  // namespace

bool startsAsTlsAnswer(std::string_view received) {
  return received.starts_with(kAlertStart) || received.starts_with(kHandshakeStart);
}

void noteHelloAnswer(std::atomic<HelloAnswer>& answer, int written, int contentType,
                     const void* bytes, size_t length) {
  if (written || contentType != SSL3_RT_HEADER) return;
  HelloAnswer none = HelloAnswer::kNone;
  answer.compare_exchange_strong(none, startsAsTlsAnswer({static_cast<const char*>(bytes), length})
                                           ? HelloAnswer::kTls
                                           : HelloAnswer::kPlainText);
}

std::string_view helloAnswerNote(HelloAnswer answer) {
  switch (answer) {
    case HelloAnswer::kNone:
      return kNoTlsAnswer;
    case HelloAnswer::kPlainText:
      return kPlainTextAnswer;
    case HelloAnswer::kTls:
      break;
  }
  return {};
}

std::string environmentCaFile() {
  const char* file = std::getenv(kCaFileEnvironment);
  return file ? file : "";
}

std::string addCaFile(SSL_CTX* context, const std::string& file, std::string_view source) {
  ERR_clear_error();
  if (SSL_CTX_load_verify_locations(context, file.c_str(), nullptr) == 1) return {};
  std::string reason;
  if (::access(file.c_str(), R_OK) != 0) {
    reason = std::strerror(errno);
  } else if (const char* text = ERR_reason_error_string(ERR_peek_last_error())) {
    reason = text;
  } else {
    reason = "no certificates in it";
  }
  ERR_clear_error();
  std::string note =
      std::string(source) + " names " + file + ", which gives no trust anchors: " + reason;
  logLineOnce(note);
  return note;
}

}  // namespace dz::platform
