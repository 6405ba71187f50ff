// Pieces shared by the fuzz targets.
//
// FUZZ_CHECK    aborts with the failed condition when a property the code
//               promises does not hold, so libFuzzer keeps the input.
// fuzz_memfile  the input as a file in memory, named "/proc/self/fd/N", for
//               readers that take a path; nothing touches the disk. The mode
//               is applied to the file (readers that check permissions).
//               assign() replaces the contents (the path stays valid).
// fuzz_workdir  a private directory under $TMPDIR (or /tmp), made at the
//               first call and removed with its contents when the process
//               exits normally; for readers that want a directory.
// fuzz_link     makes a symbolic link at path to target (replacing one).
// fuzz_split    cuts the input at its first NUL into two strings; without a
//               NUL the second is empty.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <utility>

#define FUZZ_CHECK(cond)                                                  \
  do {                                                                    \
    if (!(cond)) fuzz_fail(__FILE__, __LINE__, #cond);                    \
  } while (0)

[[noreturn]] void fuzz_fail(const char* file, int line, const char* what);

class fuzz_memfile {
 public:
  fuzz_memfile(const uint8_t* data, size_t size, mode_t mode = 0600);
  ~fuzz_memfile();
  fuzz_memfile(const fuzz_memfile&) = delete;
  fuzz_memfile& operator=(const fuzz_memfile&) = delete;
  const char* path() const { return path_.c_str(); }
  void assign(const uint8_t* data, size_t size);

 private:
  int fd_ = -1;
  std::string path_;
};

const std::string& fuzz_workdir();
void fuzz_link(const std::string& target, const std::string& path);

std::pair<std::string, std::string> fuzz_split(const uint8_t* data, size_t size);

#endif
