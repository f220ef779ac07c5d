// Captures what the process writes to standard error (file descriptor 2) between construction and
// text(), through a temporary file. Flushes the shared logger before reading.
#pragma once

#include <cstdio>
#include <string>

namespace dz::testing {

class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Everything written so far (after flushing the logger).
  std::string text();

 private:
  void restore();
  std::FILE* file_ = nullptr;
  int savedFd_ = -1;
};

}  // namespace dz::testing
