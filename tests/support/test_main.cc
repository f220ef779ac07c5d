// The main of every test executable: gtest on the process's main thread, which is also the
// thread of the main run loop.
#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
  // A peer closing a socket must surface as an error, not kill the test process.
  std::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
