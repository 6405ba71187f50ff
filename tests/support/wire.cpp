#include "wire.h"

namespace wire {

std::string hex(const Bytes& b) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < b.size(); i++) {
    if (i && i % 4 == 0) s += ' ';
    s += d[b[i] >> 4];
    s += d[b[i] & 15];
  }
  return s;
}

}  // namespace wire
