#include "platform/tls_client.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/log.h"

namespace dz::platform {

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
