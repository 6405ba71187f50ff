#include "test_data.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

std::string randomBytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint64_t x = 0x9e3779b97f4a7c15ull * (uint64_t(seed) + 1);
  for (size_t i = 0; i < n; i += 8) {
    // splitmix64: eight bytes a step.
    x += 0x9e3779b97f4a7c15ull;
    uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    memcpy(&s[i], &z, n - i < 8 ? n - i : 8);
  }
  return s;
}

std::string readFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string out;
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(size_t(st.st_size));
  char buf[1 << 16];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(fd);
  return out;
}
