// The standalone dz-devserver program: it reports its port and CA file, serves the data file it
// was given, applies its flags, and ends cleanly on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <fstream>

#include "tests/devserver/test_client.h"
#include "tests/support/child_process.h"
#include "tests/support/sandbox.h"

namespace dz::devserver {
namespace {

using testing::body;
using testing::json;
using testing::TestClient;

// A running dz-devserver in the test's sandbox, its output read line by line.
class Program {
 public:
  explicit Program(std::vector<std::string> arguments)
      : output_(sandbox_.root() / "devserver.log"),
        child_(DZ_DEVSERVER_PROGRAM, std::move(arguments), output_) {}

  // The next line of output without its line feed, once written; empty when the program ended
  // without writing one.
  std::string line() {
    bool ended = false;
    auto ready = [&](const std::string& text) {
      if (ended || text.find('\n', read_) != std::string::npos) return true;
      // One more read after the program ended holds all it wrote.
      child_.waitForExit(std::chrono::milliseconds(0));
      ended = child_.pid() < 0;
      return false;
    };
    std::string text = dz::testing::waitForFile(output_, ready).value_or("");
    size_t end = text.find('\n', read_);
    if (end == std::string::npos) return {};
    std::string next = text.substr(read_, end - read_);
    read_ = end + 1;
    return next;
  }

  // Sends SIGTERM and returns the exit status.
  int terminate() {
    child_.signal(SIGTERM);
    return exitStatus();
  }
  // Waits for the program to end by itself.
  int exitStatus() { return child_.waitForExit().value_or(-1); }

 private:
  dz::testing::ScopedSandbox sandbox_;
  std::filesystem::path output_;
  dz::testing::Child child_;
  size_t read_ = 0;
};

std::string valueOf(const std::string& line, const std::string& name) {
  EXPECT_EQ(line.rfind(name + " ", 0), 0u) << line;
  return line.substr(name.size() + 1);
}

TEST(Program, ServesItsDataFileOverTlsAndStopsOnSigterm) {
  dz::testing::ScopedSandbox sandbox;
  auto dataFile = sandbox.root() / "data.json";
  std::ofstream(dataFile) << R"({"greeting": "hello", "locked": {"x": 1}})";
  Program program({"--tls", "on", "--data", dataFile.string(), "--deny", "/locked"});
  auto port = static_cast<uint16_t>(std::stoi(valueOf(program.line(), "port")));
  std::filesystem::path caFile = valueOf(program.line(), "ca");
  EXPECT_EQ(valueOf(program.line(), "url"), "https://ns.dz.test:" + std::to_string(port));

  auto client = TestClient::connect(port, caFile);
  EXPECT_EQ(client->call("q", body("/greeting")), "ok");
  auto push = client->nextPush();
  ASSERT_TRUE(push);
  EXPECT_EQ(push->at("b").at("d"), json(R"("hello")"));
  EXPECT_EQ(client->call("q", body("/locked")), "permission_denied");

  EXPECT_EQ(program.terminate(), 0);
  EXPECT_TRUE(client->waitForClose());
  EXPECT_FALSE(std::filesystem::exists(caFile.parent_path()));
}

// A plain GET on the server's port: the status and the body.
std::pair<unsigned, std::string> get(uint16_t port, const std::string& target) {
  namespace http = boost::beast::http;
  boost::asio::io_context io;
  boost::beast::tcp_stream stream(io);
  stream.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  http::request<http::empty_body> request(http::verb::get, target, 11);
  request.set(http::field::host, "ns.dz.test");
  http::write(stream, request);
  boost::beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response);
  return {response.result_int(), response.body()};
}

TEST(Program, ItsWholeTreeCanBeRead) {
  dz::testing::ScopedSandbox sandbox;
  auto dataFile = sandbox.root() / "data.json";
  std::ofstream(dataFile) << R"({"greeting": "hello", "a b": {".priority": 2, "x": 1}})";
  Program program({"--data", dataFile.string(), "--threads", "3"});
  auto port = static_cast<uint16_t>(std::stoi(valueOf(program.line(), "port")));
  program.line();  // url

  auto client = TestClient::connect(port, {});
  EXPECT_EQ(client->call("p", body("/added", {{"d", 5}})), "ok");
  EXPECT_EQ(json(get(port, "/.json").second),
            json(R"({"greeting": "hello", "a b": {".priority": 2, "x": 1}, "added": 5})"));
  EXPECT_EQ(get(port, "/a%20b/x.json").second, "1");
  EXPECT_EQ(client->call("p", body("/100%/\u20ac", {{"d", 6}})), "ok");
  EXPECT_EQ(get(port, "/100%25/%E2%82%AC.json").second, "6");
  EXPECT_EQ(get(port, "/nothing/here.json").second, "null");
  EXPECT_EQ(get(port, "/.json?ns=other").second, "null");
  EXPECT_EQ(get(port, "/greeting").first, 404u);
  EXPECT_EQ(program.terminate(), 0);
}

TEST(Program, RefusesUnknownFlagsAndAnswersHelp) {
  Program help({"--port", "0", "--help"});
  EXPECT_EQ(help.exitStatus(), 0);
  EXPECT_EQ(help.line().rfind("usage: dz-devserver", 0), 0u);

  // It names the argument at fault on standard error, above the usage, and never listens.
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"--frobnicate", "on"}, "unknown option --frobnicate"},
      {{"--tls", "on", "8080"}, "unknown option 8080"},
      {{"--port", "70000"}, "--port needs a number from 0 to 65535, not 70000"},
      {{"--port", "80x"}, "--port needs a number from 0 to 65535, not 80x"},
      {{"--verbose", "--port"}, "--port needs a number from 0 to 65535"},
      {{"--tls", "yes"}, "--tls needs on or off, not yes"},
      {{"--threads", "0"}, "--threads needs a number from 1 to 64, not 0"},
      {{"--data"}, "--data needs a file"},
      {{"--parent-pid", "1"}, "--parent-pid needs a number from 2 to 2147483647, not 1"},
  };
  dz::testing::ScopedSandbox sandbox;
  for (const auto& [arguments, cause] : refused) {
    const auto errors = sandbox.root() / "errors.log";
    dz::testing::Child program(
        "/bin/sh", dz::testing::standardErrorOnly(DZ_DEVSERVER_PROGRAM, arguments), errors);
    EXPECT_EQ(program.waitForExit(), 2) << cause;
    const std::string said = "dz-devserver: " + cause + "\nusage: dz-devserver ";
    EXPECT_EQ(dz::testing::readFile(errors).substr(0, said.size()), said);
  }
}

TEST(Program, NamesWhyItCannotListenAndLeavesNoCertificateFolder) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor taken(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  const std::string port = std::to_string(taken.local_endpoint().port());
  dz::testing::ScopedSandbox sandbox;
  const auto temporary = sandbox.root() / "tmp";
  std::filesystem::create_directories(temporary);
  const auto errors = sandbox.root() / "errors.log";
  dz::testing::Child program(
      "/bin/sh",
      dz::testing::standardErrorOnly(DZ_DEVSERVER_PROGRAM, {"--tls", "on", "--port", port}), errors,
      {"TMPDIR=" + temporary.string()});
  EXPECT_EQ(program.waitForExit(), 1);
  EXPECT_EQ(dz::testing::readFile(errors),
            "dz-devserver: cannot listen on 127.0.0.1:" + port + ": Address already in use\n");
  EXPECT_TRUE(std::filesystem::is_empty(temporary));
}

}  // namespace
}  // namespace dz::devserver
