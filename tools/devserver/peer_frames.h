// The server's side of WebSocket framing (RFC 6455) once the handshake is done: client frames,
// always masked, parsed from the bytes as they arrive, and the headers of server frames, never
// masked. Peers read and write frames themselves, so a burst of messages is read with one
// system call and queued messages go out together. Plain value types, used on a peer's thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "database/websocket/frame_format.h"

namespace dz::devserver {

// Appends the header of a final, unmasked frame of `length` payload bytes.
void appendFrameHeader(std::string& out, websocket::Opcode opcode, size_t length);

class ClientFrameParser {
 public:
  struct Event {
    enum class Kind { kText, kPing, kClose, kError };
    Kind kind;
    std::string payload;  // the message, ping payload or close payload; the reason of an error
  };

  explicit ClientFrameParser(size_t maxMessageBytes) : maxMessageBytes_(maxMessageBytes) {}

  // Parses the whole frames at the front of `buffer`, removes them and appends what they make:
  // text messages (joined from fragments), pings and closes; pongs and binary messages are
  // dropped. A protocol violation (an unmasked frame, reserved bits, a bad opcode or fragment,
  // a message over the limit) appends an error, after which nothing more is parsed.
  void parse(std::string& buffer, std::vector<Event>& events);

 private:
  size_t maxMessageBytes_;
  bool failed_ = false;
  bool inMessage_ = false;
  bool messageIsText_ = false;
  std::string message_;
};

}  // namespace dz::devserver
