#include "database/snapshot/hashing.h"

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "platform/crypto.h"

namespace dz::database {
namespace {

constexpr std::string_view kBooleanTag = "boolean:";
constexpr std::string_view kNumberTag = "number:";
constexpr std::string_view kStringTag = "string:";
constexpr std::string_view kServerValueTag = "sv:";
constexpr std::string_view kPriorityTag = "priority:";

const EVP_MD* sha1Digest() {
  // Fetched once: a fetch per digest costs more than hashing a leaf's text.
  static const EVP_MD* digest = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  return digest;
}

}  // namespace

std::string hashOfText(std::string_view text) {
  return platform::base64Encode(platform::sha1(text));
}

HashTextSink& HashTextSink::forThisThread() {
  thread_local HashTextSink sink;
  return sink;
}

HashTextSink::HashTextSink() : context_(EVP_MD_CTX_new()) {}

HashTextSink::~HashTextSink() { EVP_MD_CTX_free(context_); }

void HashTextSink::begin() {
  buffer_.clear();
  EVP_DigestInit_ex2(context_, sha1Digest(), nullptr);
}

void HashTextSink::flush() {
  EVP_DigestUpdate(context_, buffer_.data(), buffer_.size());
  buffer_.clear();
}

void HashTextSink::finish(Node::Digest& digest) {
  flush();
  unsigned char full[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_, full, &length);
  std::copy_n(full, digest.size(), digest.begin());
}

std::string numberHashText(int64_t number) { return std::to_string(number); }

std::string numberHashText(double number) {
  if (std::trunc(number) == number && number >= -kTwoTo63 && number < kTwoTo63) {
    return std::to_string(static_cast<int64_t>(number));
  }
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), number);
  return std::string(buffer, result.ptr);
}

void appendQuotedHashText(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

void appendLeafValueHashText(std::string& out, const LeafNode::Data& value) {
  struct Append {
    std::string& out;
    void operator()(bool b) const {
      out.append(kBooleanTag);
      out.append(b ? "true" : "false");
    }
    void operator()(int64_t i) const {
      out.append(kNumberTag);
      out.append(numberHashText(i));
    }
    void operator()(double d) const {
      out.append(kNumberTag);
      out.append(numberHashText(d));
    }
    void operator()(const std::string& s) const {
      out.append(kStringTag);
      appendQuotedHashText(out, s);
    }
    void operator()(const LeafNode::Placeholder& p) const {
      out.append(kServerValueTag);
      appendQuotedHashText(out, p ? p->toJsonString() : std::string("null"));
    }
  };
  std::visit(Append{out}, value);
}

void appendPriorityHashText(std::string& out, const Node& priority) {
  if (priority.isEmpty() || !priority.isLeafNode()) return;
  out.append(kPriorityTag);
  appendLeafValueHashText(out, static_cast<const LeafNode&>(priority).value());
  out.push_back(':');
}

}  // namespace dz::database
