// The text layer of the database wire protocol on the server's side: a message longer than one
// frame goes out as a frame holding the number of pieces followed by the pieces, and incoming
// count frames are joined back into one message. Plain value types, used on the server's thread.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dz::devserver {

// The frames that carry `text`: the text alone when it fits one frame, else the count and the
// pieces (cut at `maxFrameCharacters` UTF-16 code units, never inside a character).
std::vector<std::string> framesForMessage(std::string_view text, size_t maxFrameCharacters);

// The frames of one message, shared by every connection it goes to.
using SharedFrames = std::vector<std::shared_ptr<const std::string>>;
SharedFrames sharedFramesForMessage(std::string_view text, size_t maxFrameCharacters);

// Joins incoming frames into messages. A frame that arrives between messages is a count when it
// is one to four digits with a value of at least 1; then that many frames make the next message.
// Any other frame is a message of its own. A count frame announcing more than `maxFrames` frames
// is refused (treated as a one-frame message), and a message growing beyond `maxBytes` is
// dropped whole, which bounds what a peer can make us buffer.
class FrameJoiner {
 public:
  explicit FrameJoiner(size_t maxFrames = 10000, size_t maxBytes = size_t{64} << 20)
      : maxFrames_(maxFrames), maxBytes_(maxBytes) {}

  // The complete message when `frame` finishes one; none while collecting (or for a count).
  std::optional<std::string> add(std::string_view frame);
  bool collecting() const { return remaining_ > 0; }

 private:
  size_t maxFrames_;
  size_t maxBytes_;
  size_t remaining_ = 0;
  bool overflowed_ = false;
  std::string collected_;
};

}  // namespace dz::devserver
