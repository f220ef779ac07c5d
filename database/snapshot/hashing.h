// The canonical text that data hashes are taken of, and the hash itself (base64 of the raw SHA-1
// digest). The client and the development server hash with these functions, so both sides agree
// on every byte; docs/data-model.md defines the text and lists test vectors. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "database/snapshot/node.h"

namespace dz::database {

// Base64 of the SHA-1 digest of the text.
std::string hashOfText(std::string_view text);

// A number as hash text: integral doubles within the int64 range print as integers, so 1 and 1.0
// hash alike; other doubles print in their shortest round-trip form.
std::string numberHashText(int64_t number);
std::string numberHashText(double number);

// The text between double quotes, with '"' and '\' escaped by a backslash.
void appendQuotedHashText(std::string& out, std::string_view text);

// "boolean:true", "number:1.5", "string:\"text\"" or "sv:" + quoted JSON of a placeholder.
void appendLeafValueHashText(std::string& out, const LeafNode::Data& value);

// "priority:" + the priority's leaf text + ":", or nothing when the priority is empty.
void appendPriorityHashText(std::string& out, const Node& priority);

}  // namespace dz::database
