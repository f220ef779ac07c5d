#include "tests/support/beast_raw_server.h"

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "platform/crypto.h"

namespace dz::testing {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {
constexpr char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
}  // namespace

std::string RawScriptedServer::Connection::readRequest() {
  while (buffer_.find("\r\n\r\n") == std::string::npos) {
    if (!fill(buffer_.size() + 1)) return {};
  }
  const size_t end = buffer_.find("\r\n\r\n") + 4;
  std::string request = buffer_.substr(0, end);
  buffer_.erase(0, end);
  return request;
}

void RawScriptedServer::Connection::write(std::string_view bytes) {
  asio::write(socket_, asio::buffer(bytes.data(), bytes.size()));
}

void RawScriptedServer::Connection::resetOnClose() {
  boost::system::error_code ignored;
  socket_.set_option(asio::socket_base::linger(true, 0), ignored);
}

bool RawScriptedServer::Connection::fill(size_t count) {
  char chunk[4096];
  while (buffer_.size() < count) {
    boost::system::error_code error;
    const size_t got = socket_.read_some(asio::buffer(chunk), error);
    if (error) return false;
    buffer_.append(chunk, got);
  }
  return true;
}

bool RawScriptedServer::Connection::readFrame(uint8_t& firstByte, std::string& payload) {
  if (!fill(2)) return false;
  firstByte = static_cast<uint8_t>(buffer_[0]);
  const auto second = static_cast<uint8_t>(buffer_[1]);
  size_t header = 2;
  uint64_t length = second & 0x7F;
  const size_t extra = length == 126 ? 2 : length == 127 ? 8 : 0;
  if (!fill(header + extra)) return false;
  if (extra) {
    length = 0;
    for (size_t i = 0; i < extra; ++i)
      length = (length << 8) | static_cast<uint8_t>(buffer_[2 + i]);
  }
  header += extra;
  const bool masked = second & 0x80;
  std::string key = masked ? (fill(header + 4) ? buffer_.substr(header, 4) : "") : "";
  if (masked && key.size() != 4) return false;
  header += key.size();
  if (!fill(header + length)) return false;
  payload = buffer_.substr(header, length);
  for (size_t i = 0; masked && i < payload.size(); ++i) payload[i] ^= key[i % 4];
  buffer_.erase(0, header + length);
  return true;
}

bool RawScriptedServer::Connection::waitForEnd() {
  while (fill(buffer_.size() + 1)) {
  }
  return true;
}

bool RawScriptedServer::Connection::answerClose() {
  uint8_t first = 0;
  std::string payload;
  while (readFrame(first, payload)) {
    if ((first & 0x0F) == 0x8) {
      write(frame(0x88, payload));
      return waitForEnd();
    }
  }
  return false;
}

RawScriptedServer::RawScriptedServer(Script script)
    : acceptor_(std::make_unique<BeastAcceptor>([script](tcp::socket& socket) {
        Connection connection(socket);
        script(connection);
      })) {}

std::string RawScriptedServer::secKey(const std::string& request) {
  const std::string field = "Sec-WebSocket-Key: ";
  const size_t start = request.find(field);
  if (start == std::string::npos) return {};
  const size_t valueStart = start + field.size();
  return request.substr(valueStart, request.find("\r\n", valueStart) - valueStart);
}

std::string RawScriptedServer::upgradeResponse(const std::string& request,
                                               const std::string& extraFields) {
  const std::string accept = platform::base64Encode(platform::sha1(secKey(request) + kGuid));
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         accept + "\r\n" + extraFields + "\r\n";
}

std::string RawScriptedServer::frame(uint8_t firstByte, std::string_view payload, bool masked) {
  std::string out(1, static_cast<char>(firstByte));
  const uint8_t mask = masked ? 0x80 : 0;
  if (payload.size() <= 125) {
    out.push_back(static_cast<char>(mask | payload.size()));
  } else if (payload.size() <= 0xFFFF) {
    out.push_back(static_cast<char>(mask | 126));
    out.push_back(static_cast<char>(payload.size() >> 8));
    out.push_back(static_cast<char>(payload.size() & 0xFF));
  } else {
    out.push_back(static_cast<char>(mask | 127));
    for (int i = 7; i >= 0; --i) {
      out.push_back(static_cast<char>((static_cast<uint64_t>(payload.size()) >> (8 * i)) & 0xFF));
    }
  }
  if (masked) out.append("\x01\x02\x03\x04");
  for (size_t i = 0; i < payload.size(); ++i) {
    out.push_back(masked ? static_cast<char>(payload[i] ^ ((i % 4) + 1)) : payload[i]);
  }
  return out;
}

}  // namespace dz::testing
