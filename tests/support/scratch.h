// Scratch files and captured console output for the unit tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace kvztest {

// Bytes in an unlinked temporary file, open for reading and writing and positioned at 0.
class TempFile {
 public:
  explicit TempFile(const std::vector<uint8_t>& content) {
    char tmpl[] = "/tmp/kvz-test-XXXXXX";
    fd_ = mkstemp(tmpl);
    unlink(tmpl);
    EXPECT_GE(fd_, 0);
    EXPECT_EQ(write(fd_, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    lseek(fd_, 0, SEEK_SET);
  }
  ~TempFile() { close(fd_); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return fd_; }
  off_t position() const { return lseek(fd_, 0, SEEK_CUR); }
  std::vector<uint8_t> bytes() const {
    struct stat st {};
    fstat(fd_, &st);
    std::vector<uint8_t> out(static_cast<size_t>(st.st_size));
    EXPECT_EQ(pread(fd_, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    return out;
  }

 private:
  int fd_ = -1;
};

// What body printed on standard output.
template <typename F>
std::string console_of(F&& body) {
  testing::internal::CaptureStdout();
  body();
  return testing::internal::GetCapturedStdout();
}

}  // namespace kvztest
