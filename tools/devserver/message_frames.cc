#include "tools/devserver/message_frames.h"

#include <cctype>

#include "database/utilities/utilities.h"

namespace dz::devserver {
namespace {

constexpr size_t kCountFrameMaxDigits = 4;

std::optional<size_t> frameCount(std::string_view frame) {
  if (frame.empty() || frame.size() > kCountFrameMaxDigits) return std::nullopt;
  size_t count = 0;
  for (char c : frame) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    count = count * 10 + static_cast<size_t>(c - '0');
  }
  if (count < 1) return std::nullopt;
  return count;
}

}  // namespace

std::vector<std::string> framesForMessage(std::string_view text, size_t maxFrameCharacters) {
  std::vector<std::string> pieces = database::splitString(text, maxFrameCharacters);
  if (pieces.size() > 1) pieces.insert(pieces.begin(), std::to_string(pieces.size()));
  return pieces;
}

SharedFrames sharedFramesForMessage(std::string_view text, size_t maxFrameCharacters) {
  SharedFrames frames;
  for (auto& frame : framesForMessage(text, maxFrameCharacters)) {
    frames.push_back(std::make_shared<const std::string>(std::move(frame)));
  }
  return frames;
}

std::optional<std::string> FrameJoiner::add(std::string_view frame) {
  if (remaining_ == 0) {
    if (auto count = frameCount(frame); count && *count <= maxFrames_) {
      remaining_ = *count;
      collected_.clear();
      overflowed_ = false;
      return std::nullopt;
    }
    return std::string(frame);
  }
  if (collected_.size() + frame.size() > maxBytes_) {
    overflowed_ = true;
    collected_.clear();
    collected_.shrink_to_fit();
  }
  if (!overflowed_) collected_.append(frame);
  if (--remaining_ > 0) return std::nullopt;
  std::string message = std::move(collected_);
  collected_.clear();
  if (overflowed_) return std::nullopt;
  return message;
}

}  // namespace dz::devserver
