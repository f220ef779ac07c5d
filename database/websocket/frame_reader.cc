#include "database/websocket/frame_reader.h"

#include <algorithm>
#include <utility>

#include "database/websocket/utf8_validator.h"

namespace dz::websocket {
namespace {

constexpr char kRsvBitsUsed[] = "Server used RSV bits";
constexpr char kContinuationExpected[] =
    "all data frames after the initial data frame must have opcode 0";
constexpr char kNothingToContinue[] = "cannot continue a message";
constexpr char kMaskedFrame[] = "Client must receive unmasked data";
constexpr char kFragmentedControl[] = "Fragmented control frames not allowed";
constexpr char kControlTooLarge[] = "Control frames cannot have payloads larger than 126 bytes";
constexpr char kUnknownOpcode[] = "Unknown opcode ";
constexpr char kInvalidText[] = "Text frames must be valid UTF-8";
constexpr char kLengthTopBitSet[] = "Payload length must not have its most significant bit set";
constexpr char kShortClosePayload[] = "Payload for close must be larger than 2 bytes";
constexpr char kBadCloseCode[] = "Cannot have close code of ";
constexpr char kBadCloseReason[] = "Close reason MUST be valid UTF-8";

bool isKnownOpcode(uint8_t opcode) {
  switch (static_cast<Opcode>(opcode)) {
    case Opcode::kContinuation:
    case Opcode::kText:
    case Opcode::kBinary:
    case Opcode::kClose:
    case Opcode::kPing:
    case Opcode::kPong:
      return true;
  }
  return false;
}

}  // namespace

FrameReader::FrameReader(Handler& handler, uint64_t maxMessageBytes)
    : handler_(handler), maxMessageBytes_(maxMessageBytes) {}

size_t FrameReader::feed(const uint8_t* data, size_t size) {
  size_t consumed = 0;
  while (!stopped_ && consumed < size) {
    if (inPayload_) {
      consumed += readPayload(data + consumed, size - consumed);
    } else {
      consumed += readHeader(data + consumed, size - consumed);
    }
  }
  return consumed;
}

size_t FrameReader::readHeader(const uint8_t* data, size_t size) {
  const size_t take = std::min(size, headerNeeded_ - headerBytes_);
  std::copy_n(data, take, header_.begin() + headerBytes_);
  headerBytes_ += take;
  if (headerBytes_ < headerNeeded_) return take;
  if (headerBytes_ == 2) {
    if (!checkFirstBytes()) return take;
    const uint8_t length7 = header_[1] & kLengthBits;
    headerNeeded_ = 2 + (length7 == kLength16Marker ? 2 : length7 == kLength64Marker ? 8 : 0);
    if (headerNeeded_ > 2) return take;
  }
  if (decodeHeader() && payloadRemaining_ == 0) finishFrame();
  return take;
}

// The checks that need only the two fixed bytes, in the order a server's mistakes are reported.
bool FrameReader::checkFirstBytes() {
  const uint8_t first = header_[0];
  const uint8_t second = header_[1];
  fin_ = (first & kFinBit) != 0;
  opcode_ = first & kOpcodeBits;
  if (first & kRsvBits) {
    fail(kCloseProtocolError, kRsvBitsUsed);
    return false;
  }
  if (!isKnownOpcode(opcode_)) {
    fail(kCloseProtocolError, kUnknownOpcode + std::to_string(opcode_));
    return false;
  }
  if (!isControl(opcode_)) {
    if (opcode_ != 0 && messageOpcode_ != 0) {
      fail(kCloseProtocolError, kContinuationExpected);
      return false;
    }
    if (opcode_ == 0 && messageOpcode_ == 0) {
      fail(kCloseProtocolError, kNothingToContinue);
      return false;
    }
  }
  if (second & kMaskBit) {
    fail(kCloseProtocolError, kMaskedFrame);
    return false;
  }
  if (isControl(opcode_)) {
    if (!fin_) {
      fail(kCloseProtocolError, kFragmentedControl);
      return false;
    }
    if ((second & kLengthBits) > kMaxControlPayload) {
      fail(kCloseProtocolError, kControlTooLarge);
      return false;
    }
  }
  return true;
}

bool FrameReader::decodeHeader() {
  const uint8_t length7 = header_[1] & kLengthBits;
  uint64_t length = length7;
  if (headerNeeded_ > 2) {
    length = 0;
    for (size_t i = 2; i < headerNeeded_; ++i) length = (length << 8) | header_[i];
  }
  // RFC 6455 section 5.2 forbids the top bit of a 64-bit length: a broken frame, not a big one.
  if ((length >> 63) != 0) {
    fail(kCloseProtocolError, kLengthTopBitSet);
    return false;
  }
  // Refused before a byte of the payload is stored.
  if (!isControl(opcode_) && length > maxMessageBytes_ - message_.size()) {
    fail(kCloseMessageTooBig, kMessageTooBigReason);
    return false;
  }
  if (!isControl(opcode_)) {
    if (opcode_ != 0) messageOpcode_ = opcode_;
    // Reserve for what a frame announces only up to a modest size: the announcement alone must
    // not make us allocate.
    constexpr uint64_t kMaxReserveBytes = 1 << 20;
    if (length <= kMaxReserveBytes) message_.reserve(message_.size() + length);
  }
  payloadRemaining_ = length;
  controlPayload_.clear();
  inPayload_ = length > 0;
  return true;
}

size_t FrameReader::readPayload(const uint8_t* data, size_t size) {
  const size_t take = static_cast<size_t>(std::min<uint64_t>(size, payloadRemaining_));
  const auto* bytes = reinterpret_cast<const char*>(data);
  payloadRemaining_ -= take;
  if (isControl(opcode_)) {
    controlPayload_.append(bytes, take);
    if (payloadRemaining_ == 0) finishFrame();
  } else {
    message_.append(bytes, take);
    acceptMessageBytes();
  }
  return take;
}

std::span<char> FrameReader::payloadRoom(size_t atLeast, size_t atMost) {
  if (stopped_ || !inPayload_ || isControl(opcode_) || payloadRemaining_ < atLeast) return {};
  const size_t room = static_cast<size_t>(std::min<uint64_t>(atMost, payloadRemaining_));
  // Grown only by what is about to be read: a frame's announced length alone allocates nothing.
  message_.resize(message_.size() + room);
  roomBytes_ = room;
  return {message_.data() + message_.size() - room, room};
}

void FrameReader::commitPayload(size_t written) {
  const size_t room = std::exchange(roomBytes_, 0);
  written = std::min(written, room);
  message_.resize(message_.size() - room + written);
  if (written == 0) return;
  payloadRemaining_ -= written;
  acceptMessageBytes();
}

// Payload bytes have been added to message_: text is checked as it arrives.
void FrameReader::acceptMessageBytes() {
  if (messageOpcode_ == static_cast<uint8_t>(Opcode::kText)) {
    const auto valid = scanUtf8Prefix(std::string_view(message_).substr(utf8ScanPosition_));
    if (!valid) return fail(kCloseInvalidPayload, kInvalidText);
    utf8ScanPosition_ += *valid;
  }
  if (payloadRemaining_ == 0) finishFrame();
}

void FrameReader::finishFrame() {
  inPayload_ = false;
  headerBytes_ = 0;
  headerNeeded_ = 2;
  switch (static_cast<Opcode>(opcode_)) {
    case Opcode::kClose:
      handleClose(controlPayload_);
      return;
    case Opcode::kPing:
      handler_.onPing(std::move(controlPayload_));
      return;
    case Opcode::kPong:
      handler_.onPong(std::move(controlPayload_));
      return;
    default:
      break;
  }
  if (!fin_) return;
  const auto opcode = static_cast<Opcode>(messageOpcode_);
  if (opcode == Opcode::kText && utf8ScanPosition_ != message_.size()) {
    fail(kCloseInvalidPayload, kInvalidText);
    return;
  }
  std::string payload = std::exchange(message_, handler_.recycledBuffer());
  resetMessage();
  handler_.onMessage(opcode, std::move(payload));
}

void FrameReader::handleClose(const std::string& payload) {
  if (payload.size() == 1) return fail(kCloseProtocolError, kShortClosePayload);
  int code = kCloseNoStatus;
  std::string reason;
  if (!payload.empty()) {
    code = (static_cast<uint8_t>(payload[0]) << 8) | static_cast<uint8_t>(payload[1]);
    if (!isValidCloseCode(code)) {
      return fail(kCloseProtocolError, kBadCloseCode + std::to_string(code));
    }
    reason = payload.substr(2);
    if (!isValidUtf8(reason)) return fail(kCloseProtocolError, kBadCloseReason);
  }
  stopped_ = true;
  handler_.onClose(code, std::move(reason));
}

void FrameReader::fail(int closeCode, std::string reason) {
  if (stopped_) return;
  stopped_ = true;
  handler_.onProtocolError(closeCode, std::move(reason));
}

void FrameReader::resetMessage() {
  messageOpcode_ = 0;
  message_.clear();
  utf8ScanPosition_ = 0;
}

}  // namespace dz::websocket
