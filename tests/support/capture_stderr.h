// StderrCapture: what the process writes to standard error (file descriptor 2) from construction
// until text(), kept in a temporary file, so that tests can assert log lines. `flush` runs before
// the capture starts and again before it ends, so that lines an asynchronous logger still holds
// land on the right side: pass core::flushLog when the code under test logs through the shared
// logger. One capture at a time; use it from the test's thread.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace dz::testing {

class StderrCapture {
 public:
  explicit StderrCapture(std::function<void()> flush = {});
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Ends the capture (after flushing) and returns everything written during it.
  std::string text();

 private:
  void restore();
  std::function<void()> flush_;
  std::FILE* file_ = nullptr;
  int savedFd_ = -1;
};

}  // namespace dz::testing
