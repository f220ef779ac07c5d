// The checks every realtime fuzz target makes of a message the server sends: what the decoder
// reads from it, and the reader of plain data pushes beside it, whole and in pieces.
#pragma once

#include <string_view>

#include "database/realtime/server_message.h"

namespace dz::fuzz {

// For text that holds a whole message: the decoder's reading is usable (a push written back
// decodes to the same data; a merge writes only below its location, where data keys may go; what
// it takes is stored as data, checkStoredAsData), and the reader of plain data pushes takes a
// push, from the whole text or from it cut at `cut`, only when the decoder reads the same push.
void checkServerMessage(std::string_view text, size_t cut);

// A push (data, merge or range merge) applied to trees as the client applies server data leaves
// trees whose export reads back as the same data. Other messages are not checked.
void checkStoredAsData(const database::ServerMessage& message);

}  // namespace dz::fuzz
