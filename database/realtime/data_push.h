// Plain data pushes ("d": new data at a path) read from the message text straight into nodes,
// without a JSON document in between. Large loads arrive this way, so the text is read once, at
// the boundary; the pushes' JSON forms are for logs and tests.
#pragma once

#include <boost/json/object.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "database/realtime/server_message.h"
#include "database/snapshot/json_reader.h"

namespace dz::database {

// The push's body ({"p", "d", "t"}) as JSON, the data in export form.
boost::json::object dataPushBody(const DataPush& push);
// The data message ({"a", "b"}) and the whole message ({"t", "d"}) that carried a push, as JSON.
boost::json::object dataPushDataMessage(const DataPush& push);
boost::json::object dataPushMessage(const DataPush& push);

// The data push that `text` holds, when it is a plain one: exactly the envelope's members, as
// written (no null members, no {".value": x} for x), and data that reads as nodes. Anything else
// (other messages, merges, pushes at a priority, data the node reader leaves to the document
// path, text that is not JSON) is none, and the decoder settles it; what this reads, the decoder
// reads alike.
std::optional<DataPush> readDataPush(std::string_view text);

// Whether `text` may be a plain data push (other messages, merges above all, are not worth reading
// as nodes first). Looks at the start of a message as well as at a whole one.
bool mayBeDataPush(std::string_view text);

// A reader of a message given in pieces, for dataPushOf.
std::unique_ptr<JsonTextReader> dataPushReader();

// The plain data push of a message read by dataPushReader, as readDataPush gives it.
std::optional<DataPush> dataPushOf(const JsonTextRead& read);

}  // namespace dz::database
