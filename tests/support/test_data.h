// Test data of a given size and whole files read back, fast enough for the
// 100 MiB cases under a sanitizer (a byte at a time through a stream, or a
// generator call per byte, is what makes such a test time out).
#pragma once

#include <cstddef>
#include <string>

// randomBytes  n bytes of a fixed pseudo-random sequence per seed, with no
//              zero blocks (a gateway keeps those as holes).
std::string randomBytes(size_t n, unsigned seed);
// readFile     the whole file; "" when it cannot be read.
std::string readFile(const std::string& path);
