// Scratch files and captured console output for the unit tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kvztest {

// Bytes in an unlinked temporary file, open for reading and writing and positioned at 0.
class TempFile {
 public:
  explicit TempFile(const std::vector<uint8_t>& content) : file_(tmpfile()) {
    EXPECT_EQ(fwrite(content.data(), 1, content.size(), file_), content.size());
    fflush(file_);
    lseek(fd(), 0, SEEK_SET);
  }
  ~TempFile() { fclose(file_); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return fileno(file_); }
  off_t position() const { return lseek(fd(), 0, SEEK_CUR); }
  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> out(static_cast<size_t>(lseek(fd(), 0, SEEK_END)));
    EXPECT_EQ(pread(fd(), out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    return out;
  }

 private:
  FILE* file_;
};

// What body printed on standard output.
template <typename F>
std::string console_of(F&& body) {
  testing::internal::CaptureStdout();
  body();
  return testing::internal::GetCapturedStdout();
}

}  // namespace kvztest
