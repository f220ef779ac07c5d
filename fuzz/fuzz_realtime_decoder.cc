// One message from the server, read by the decoder alone and by the reader of plain data pushes
// beside it (server_message_checks.h): far more inputs a second than the whole connection stack
// of fuzz_realtime_messages takes, for the faults that lie in the reading alone.
//
// Input: the message's text. It is also read in two pieces, cut where the sum of its bytes
// falls.
#include <cstdint>
#include <numeric>
#include <string_view>

#include "fuzz/server_message_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const size_t cut = std::accumulate(data, data + size, size_t{0}) % (size + 1);
  dz::fuzz::checkServerMessage(text, cut);
  return 0;
}
