// The yes/no question with the fuzz bytes and then the end of input in a pipe on standard input,
// asked again until the input is used up. Each answer is the first y or n typed, every other key
// is passed over, and the end of input is a no; no question may wait for its 5 seconds.
#include <sys/ioctl.h>

#include <chrono>
#include <cstring>

#include "fuzz.h"
#include "rejected.h"

using kvzfuzz::fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  const kvzfuzz::NoLeaks no_leaks;
  kvzfuzz::feed_stdin(data, size);
  for (size_t at = 0;;) {
    const auto start = std::chrono::steady_clock::now();
    const int answer = yesno_question("Would you still like to load it? ");
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(1)) fail("question waited");
    int left = 0;
    if (ioctl(0, FIONREAD, &left) != 0) fail("FIONREAD");
    const size_t now = size - static_cast<size_t>(left);
    size_t key = at;
    while (key < size && data[key] != 'y' && data[key] != 'n') ++key;
    const bool ok =
        key < size ? answer == (data[key] == 'y') && now == key + 1 : answer == 0 && now == size;
    if (!ok) fail("wrong answer, or keys read past it");
    if (now == size) break;
    at = now;
  }
  return 0;
}
