#include "wire.h"

#include <stdio.h>
#include <stdlib.h>

namespace wire {

void note_wire(const uint8_t* data, size_t size) {
  static const char* dir = getenv("OZU_WIRE_DUMP");
  if (dir == nullptr || *dir == '\0' || size == 0) return;
  uint64_t h = 1469598103934665603ull;  // FNV-1a of the content names the file
  for (size_t i = 0; i < size; i++) h = (h ^ data[i]) * 1099511628211ull;
  char name[32];
  snprintf(name, sizeof name, "/%016llx", static_cast<unsigned long long>(h));
  FILE* f = fopen((std::string(dir) + name).c_str(), "wb");
  if (f == nullptr) return;
  fwrite(data, 1, size, f);
  fclose(f);
}

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
