#include "tests/support/capture_stderr.h"

#include <unistd.h>

#include <stdexcept>

namespace dz::testing {

StderrCapture::StderrCapture(std::function<void()> flush) : flush_(std::move(flush)) {
  file_ = std::tmpfile();
  if (!file_) throw std::runtime_error("tmpfile failed");
  if (flush_) flush_();
  std::fflush(stderr);
  savedFd_ = ::dup(STDERR_FILENO);
  if (savedFd_ < 0 || ::dup2(::fileno(file_), STDERR_FILENO) < 0) {
    if (savedFd_ >= 0) ::close(savedFd_);
    std::fclose(file_);
    throw std::runtime_error("cannot redirect standard error");
  }
}

StderrCapture::~StderrCapture() {
  restore();
  std::fclose(file_);
}

void StderrCapture::restore() {
  if (savedFd_ < 0) return;
  if (flush_) flush_();
  std::fflush(stderr);
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
