// Feeds arbitrary server bytes to the frame reader in arbitrary slices and checks what comes out:
// text is valid UTF-8, messages keep to the cap, nothing follows the end of reading.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "database/websocket/frame_reader.h"
#include "database/websocket/utf8_validator.h"

namespace {

using dz::websocket::FrameReader;
using dz::websocket::Opcode;

constexpr uint64_t kCap = 1 << 16;

struct Checker : FrameReader::Handler {
  bool ended = false;
  void check(bool condition) {
    if (!condition) std::abort();
  }
  void onMessage(Opcode opcode, std::string payload) override {
    check(!ended && payload.size() <= kCap);
    if (opcode == Opcode::kText) check(dz::websocket::isValidUtf8(payload));
    check(opcode == Opcode::kText || opcode == Opcode::kBinary);
  }
  void onPing(std::string payload) override { check(!ended && payload.size() <= 125); }
  void onPong(std::string payload) override { check(!ended && payload.size() <= 125); }
  void onClose(int, std::string reason) override {
    check(!ended && dz::websocket::isValidUtf8(reason));
    ended = true;
  }
  void onProtocolError(int code, std::string) override {
    check(!ended && (code == 1002 || code == 1007 || code == 1009));
    ended = true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the slice length, so splits at every point get explored.
  const size_t slice = (data[0] % 17) + 1;
  ++data;
  --size;
  Checker checker;
  FrameReader reader(checker, kCap);
  size_t offset = 0;
  while (offset < size) {
    const size_t length = std::min(slice, size - offset);
    const size_t consumed = reader.feed(data + offset, length);
    if (consumed < length) {
      checker.check(reader.stopped());
      break;
    }
    offset += length;
  }
  return 0;
}
