// The canonical text that data hashes are taken of, and the hash itself (base64 of the raw SHA-1
// digest). The client and the development server hash with these functions, so both sides agree
// on every byte; docs/data-model.md defines the text and lists test vectors. Thread-safe.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "database/snapshot/node.h"

namespace dz::database {

// Base64 of the SHA-1 digest of the text.
std::string hashOfText(std::string_view text);

// Takes a node's canonical text piece by piece into the digest, so that a node with many children
// never holds its whole text. One per thread (forThisThread), for one node at a time: hash the
// children before starting their parent.
class HashTextSink {
 public:
  static HashTextSink& forThisThread();
  HashTextSink(const HashTextSink&) = delete;
  HashTextSink& operator=(const HashTextSink&) = delete;
  ~HashTextSink();

  void begin();
  // Where the next piece of text goes; call flushIfLarge() after each few pieces.
  std::string& text() { return buffer_; }
  void flushIfLarge() {
    if (buffer_.size() >= kChunkBytes) flush();
  }
  // The raw digest of everything written since begin().
  void finish(Node::Digest& digest);

 private:
  static constexpr size_t kChunkBytes = 8192;
  HashTextSink();
  void flush();
  std::string buffer_;
  EVP_MD_CTX* context_;
};

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
