// Compiled into every test executable (gtest's own main runs the tests on the process's main
// thread, which is also the thread of the main run loop).
#include <csignal>

namespace {

// A peer closing a socket must surface as an error, not kill the test process.
const bool kSigpipeIgnored = [] {
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}();

}  // namespace
