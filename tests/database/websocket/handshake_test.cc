#include "database/websocket/handshake.h"

#include <gtest/gtest.h>

#include "database/websocket/errors.h"
#include "database/websocket/url.h"
#include "database/websocket/utf8_validator.h"

namespace dz::websocket {
namespace {

TEST(HandshakeTest, AcceptValueMatchesTheRfcExample) {
  EXPECT_EQ(acceptValueFor("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  const std::string key = makeSecKey();
  EXPECT_EQ(key.size(), 24u);
  EXPECT_EQ(key.substr(22), "==");
  EXPECT_NE(key, makeSecKey());
}

TEST(HandshakeTest, RequestHasFieldsInOrderAndCallerFieldsReplace) {
  HandshakeRequest request{*Url::parse("wss://ns.dz.test:8080/.ws?v=5"),
                           "KEY",
                           "agent/1",
                           std::vector<std::string>{"a", "b"},
                           {{"user-agent", "mine"}, {"X-Extra", "1"}, {"Bad", "x\r\nInjected: 1"}}};
  EXPECT_EQ(request.serialize(),
            "GET /.ws?v=5 HTTP/1.1\r\n"
            "Host: ns.dz.test:8080\r\n"
            "Upgrade: websocket\r\n"
            "Connection: Upgrade\r\n"
            "User-Agent: mine\r\n"
            "Sec-WebSocket-Key: KEY\r\n"
            "Sec-WebSocket-Version: 13\r\n"
            "Origin: https://ns.dz.test:8080/\r\n"
            "Sec-WebSocket-Protocol: a, b\r\n"
            "X-Extra: 1\r\n"
            "\r\n");
  HandshakeRequest plain{*Url::parse("ws://h.dz.test"), "K", std::nullopt, std::nullopt, {}};
  EXPECT_EQ(plain.serialize(),
            "GET / HTTP/1.1\r\nHost: h.dz.test\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: K\r\nSec-WebSocket-Version: 13\r\nOrigin: http://h.dz.test/\r\n"
            "\r\n");
}

TEST(HandshakeTest, FindsHeaderEndAnywhere) {
  EXPECT_EQ(findHeaderEnd("HTTP/1.1 101 x\r\n\r\nframe"), 18u);
  EXPECT_EQ(findHeaderEnd("\r\n\r\r\n\r\n"), 7u);
  EXPECT_EQ(findHeaderEnd("abc\r\n\r"), std::string_view::npos);
  EXPECT_EQ(findHeaderEnd("xx\r\n\r\n", 1), 6u);
}

std::string goodResponse(const std::string& key, const std::string& extra = "") {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: WebSocket\r\nConnection: keep-alive, "
         "Upgrade\r\nSec-WebSocket-Accept: " +
         acceptValueFor(key) + "\r\n" + extra + "\r\n";
}

ErrorPtr check(const std::string& text, const std::string& key,
               std::optional<std::vector<std::string>> protocols = std::nullopt,
               std::optional<std::string>* chosen = nullptr,
               const HeaderFields& requestFields = {}) {
  const auto response = parseResponseHeader(text);
  if (!response) return badResponseError(0);
  std::optional<std::string> protocol;
  auto error = checkResponse(*response, key, protocols, protocol, requestFields);
  if (chosen) *chosen = protocol;
  return error;
}

TEST(HandshakeTest, ChecksStatusUpgradeAcceptAndProtocol) {
  const std::string key = makeSecKey();
  EXPECT_FALSE(check(goodResponse(key), key));

  auto error = check(
      "HTTP/1.1 200 OK\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: " +
          acceptValueFor(key) + "\r\n\r\n",
      key);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kStreamErrorDomain);
  EXPECT_EQ(error->code(), kBadResponseCode);
  EXPECT_EQ(error->localizedDescription(), "received bad response code from server 200");

  error = check("HTTP/1.1 404 Not Found\r\n\r\n", key);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "received bad response code from server 404");

  error = check("HTTP/1.1 101 Switching\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
                    acceptValueFor(key) + "\r\n\r\n",
                key);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), kInvalidHandshakeCode);
  EXPECT_EQ(error->localizedDescription(),
            "Server answered 101 without Upgrade: websocket and Connection: Upgrade");

  error = check(goodResponse("other key"), key);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kWebSocketErrorDomain);
  EXPECT_EQ(error->code(), kInvalidHandshakeCode);
  EXPECT_EQ(error->localizedDescription(), "Invalid Sec-WebSocket-Accept response");

  error = check(goodResponse(key, "Sec-WebSocket-Protocol: c\r\n"), key,
                std::vector<std::string>{"a", "b"});
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(),
            "Server specified Sec-WebSocket-Protocol that wasn't requested");

  error = check(goodResponse(key, "Sec-WebSocket-Protocol: c\r\n"), key);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), kInvalidHandshakeCode);

  std::optional<std::string> chosen;
  EXPECT_FALSE(check(goodResponse(key, "Sec-WebSocket-Protocol: b\r\n"), key,
                     std::vector<std::string>{"a", "b"}, &chosen));
  EXPECT_EQ(chosen, "b");
}

TEST(HandshakeTest, RefusesExtensionsThatWereNotOffered) {
  const std::string key = makeSecKey();
  const std::string deflate =
      "Sec-WebSocket-Extensions: permessage-deflate; server_max_bits=10\r\n";
  auto error = check(goodResponse(key, deflate), key);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), kInvalidHandshakeCode);
  EXPECT_EQ(error->localizedDescription(),
            "Server specified Sec-WebSocket-Extensions that weren't requested");
  const HeaderFields offered{{"sec-websocket-extensions", "x-other, permessage-deflate"}};
  EXPECT_FALSE(check(goodResponse(key, deflate), key, std::nullopt, nullptr, offered));
  EXPECT_TRUE(check(goodResponse(key, "Sec-WebSocket-Extensions: x-other, x-third\r\n"), key,
                    std::nullopt, nullptr, offered));
}

TEST(HandshakeTest, RefusesMalformedResponses) {
  for (const char* text : {"", "HTTP/1.1\r\n\r\n", "HTTP/2 101 x\r\n\r\n", "HTTP/1.1 1O1 x\r\n\r\n",
                           "HTTP/1.1 101 x\r\nNoColon\r\n\r\n", "HTTP/1.1 1011 x\r\n\r\n"}) {
    EXPECT_FALSE(parseResponseHeader(text)) << text;
  }
}

TEST(UrlTest, PortsHostFieldAndOrigin) {
  auto url = Url::parse("wss://ns.dz.test/.ws");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->effectivePort(), 443);
  EXPECT_EQ(url->hostField(), "ns.dz.test");
  EXPECT_EQ(Url::parse("ws://ns.dz.test")->effectivePort(), 80);
  url = Url::parse("ws://ns.dz.test:8080/x");
  EXPECT_EQ(url->effectivePort(), 8080);
  EXPECT_EQ(url->hostField(), "ns.dz.test:8080");
  EXPECT_EQ(Url::parse("WSS://h.dz.test:9000/a/b?c")->origin(), "https://h.dz.test:9000/");
  EXPECT_EQ(Url::parse("ws://[::1]:81")->hostField(), "[::1]:81");
  EXPECT_FALSE(Url::parse("ws://h:99999/"));
  EXPECT_FALSE(Url::parse("no scheme"));
  EXPECT_FALSE(Url::parse("ws://h.dz.test/a b"));
  EXPECT_FALSE(Url::parse("ws://h.dz.test/\r\nX-Injected: 1"));
}

TEST(Utf8ValidatorTest, AcceptsIncompleteTailOnlyWhenItCanStillComplete) {
  EXPECT_EQ(scanUtf8Prefix("ab\xF0\x9F\x98"), 2u);
  EXPECT_EQ(scanUtf8Prefix("ab\xE2"), 2u);
  EXPECT_FALSE(scanUtf8Prefix("ab\xE0\x80"));      // overlong 3-byte form
  EXPECT_FALSE(scanUtf8Prefix("ab\xED\xA0"));      // surrogate
  EXPECT_FALSE(scanUtf8Prefix("ab\xF4\x90"));      // above U+10FFFF
  EXPECT_FALSE(scanUtf8Prefix("ab\xF0\x9F\x41"));  // ASCII where a trail byte belongs
  EXPECT_FALSE(scanUtf8Prefix("\xFF"));
  EXPECT_TRUE(isValidUtf8("h\xC3\xA9llo \xF0\x9F\x98\x80"));
  EXPECT_FALSE(isValidUtf8("\xC3"));
}

// Long ASCII runs are skipped in blocks: a character, a bad byte or a cut character at any offset
// of a block is still seen.
TEST(Utf8ValidatorTest, FindsEveryNonAsciiByteInsideLongAsciiRuns) {
  for (size_t at = 0; at < 200; ++at) {
    std::string text(200, 'a');
    text.insert(at, "\xC3\xA9");
    EXPECT_EQ(scanUtf8Prefix(text), text.size()) << at;
    std::string bad(200, 'a');
    bad[at] = '\xFF';
    EXPECT_FALSE(scanUtf8Prefix(bad)) << at;
    std::string cut(at, 'a');
    cut += "\xF0\x9F";
    EXPECT_EQ(scanUtf8Prefix(cut), at) << at;
  }
}

}  // namespace
}  // namespace dz::websocket
