#include <unistd.h>

#include <stdexcept>

#include "core/logger.h"
#include "tests/core/stderr_capture.h"

namespace dz::testing {

StderrCapture::StderrCapture() {
  file_ = std::tmpfile();
  if (!file_) throw std::runtime_error("tmpfile failed");
  core::flushLog();
  savedFd_ = ::dup(STDERR_FILENO);
  ::dup2(::fileno(file_), STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
  restore();
  std::fclose(file_);
}

void StderrCapture::restore() {
  if (savedFd_ < 0) return;
  core::flushLog();
  ::dup2(savedFd_, STDERR_FILENO);
  ::close(savedFd_);
  savedFd_ = -1;
}

std::string StderrCapture::text() {
  restore();
  std::string out;
  std::rewind(file_);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
  return out;
}

}  // namespace dz::testing
