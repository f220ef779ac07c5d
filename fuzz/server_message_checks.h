// The checks every realtime fuzz target makes of a message the server sends: what the decoder
// reads from it, and the reader of plain data pushes beside it, whole and in pieces.
#pragma once

#include <string_view>

namespace dz::fuzz {

// For text that holds a whole message: the decoder's reading is usable (a push written back
// decodes to the same data; a merge writes only where data keys may go), and the reader of plain
// data pushes takes a push, from the whole text or from it cut at `cut`, only when the decoder
// reads the same push.
void checkServerMessage(std::string_view text, size_t cut);

}  // namespace dz::fuzz
