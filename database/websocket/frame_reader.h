// FrameReader: turns the bytes a server sends after the handshake into messages and control
// frames (RFC 6455 section 5). Bytes may arrive in any slicing; payloads are appended as they
// arrive and text is checked as UTF-8 slice by slice. The first protocol error is reported once
// and ends reading: nothing after it is consumed or delivered. Reading also ends after a close
// frame. Not thread-safe: one owner (the socket's work queue) feeds it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "database/websocket/frame_format.h"

namespace dz::websocket {

inline constexpr uint64_t kDefaultMaxMessageBytes = 256ull * 1024 * 1024;

class FrameReader {
 public:
  class Handler {
   public:
    virtual ~Handler() = default;
    // A complete text (checked UTF-8) or binary message.
    virtual void onMessage(Opcode opcode, std::string payload) = 0;
    virtual void onPing(std::string payload) = 0;
    virtual void onPong(std::string payload) = 0;
    // The server's close frame: its code (1005 when it had none) and reason.
    virtual void onClose(int code, std::string reason) = 0;
    // The status code to close with (1002, 1007 or 1009) and its reason.
    virtual void onProtocolError(int closeCode, std::string reason) = 0;
    // An empty string, possibly with capacity from an earlier message, to assemble the next
    // message in.
    virtual std::string recycledBuffer() { return {}; }
  };

  // `maxMessageBytes` caps a frame and an assembled message.
  explicit FrameReader(Handler& handler, uint64_t maxMessageBytes = kDefaultMaxMessageBytes);
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // Consumes bytes, calling the handler for every complete frame. Returns how many bytes were
  // consumed: all of them unless reading ended (error, close frame, stop()).
  size_t feed(const uint8_t* data, size_t size);

  // Room for up to `atMost` payload bytes of the data frame being read, at the end of the message
  // being assembled, so that a large payload can be read straight into place; empty outside a
  // data frame's payload or when less than `atLeast` of it is still to come. Bytes put there
  // count once passed to commitPayload, which must come before anything else is fed.
  std::span<char> payloadRoom(size_t atLeast, size_t atMost);
  void commitPayload(size_t written);

  // Ends reading; the handler is not called again.
  void stop() { stopped_ = true; }
  bool stopped() const { return stopped_; }

 private:
  size_t readHeader(const uint8_t* data, size_t size);
  bool checkFirstBytes();
  bool decodeHeader();
  size_t readPayload(const uint8_t* data, size_t size);
  void acceptMessageBytes();
  void finishFrame();
  void handleClose(const std::string& payload);
  void fail(int closeCode, std::string reason);
  void resetMessage();

  Handler& handler_;
  const uint64_t maxMessageBytes_;
  bool stopped_ = false;

  // The frame being read.
  std::array<uint8_t, kMaxHeaderBytes> header_{};
  size_t headerBytes_ = 0;
  size_t headerNeeded_ = 2;
  bool inPayload_ = false;
  bool fin_ = false;
  uint8_t opcode_ = 0;
  uint64_t payloadRemaining_ = 0;
  std::string controlPayload_;

  // The data message being assembled.
  uint8_t messageOpcode_ = 0;
  std::string message_;
  size_t utf8ScanPosition_ = 0;
  // The size of the room payloadRoom last handed out, until committed.
  size_t roomBytes_ = 0;
};

}  // namespace dz::websocket
