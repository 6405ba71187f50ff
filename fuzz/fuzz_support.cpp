#include "fuzz_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

// A copy of standard error taken before libFuzzer runs: with -close_fd_mask
// the code under test is quiet, and a failed check still says what failed.
int report_fd = dup(2);

}  // namespace

void fuzz_fail(const char* file, int line, const char* what) {
  dprintf(report_fd >= 0 ? report_fd : 2, "%s:%d: check failed: %s\n", file, line, what);
  abort();
}

fuzz_memfile::fuzz_memfile(const uint8_t* data, size_t size, mode_t mode) {
  fd_ = memfd_create("fuzz-input", MFD_CLOEXEC);
  FUZZ_CHECK(fd_ >= 0);
  FUZZ_CHECK(fchmod(fd_, mode) == 0);
  path_ = "/proc/self/fd/" + std::to_string(fd_);
  assign(data, size);
}

void fuzz_memfile::assign(const uint8_t* data, size_t size) {
  // A file in memory: truncating it costs no disk flush, unlike ext4's.
  FUZZ_CHECK(ftruncate(fd_, 0) == 0);
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd_, data + done, size - done, off_t(done));
    FUZZ_CHECK(n > 0);
    done += size_t(n);
  }
}

fuzz_memfile::~fuzz_memfile() {
  if (fd_ >= 0) close(fd_);
}

namespace {

std::string workdir;

void remove_workdir() {
  std::error_code ec;
  std::filesystem::remove_all(workdir, ec);
}

}  // namespace

const std::string& fuzz_workdir() {
  if (workdir.empty()) {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/ozu-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(templ.data()) != nullptr);
    workdir = templ;
    atexit(remove_workdir);
  }
  return workdir;
}

void fuzz_link(const std::string& target, const std::string& path) {
  unlink(path.c_str());
  FUZZ_CHECK(symlink(target.c_str(), path.c_str()) == 0);
}

std::pair<std::string, std::string> fuzz_split(const uint8_t* data, size_t size) {
  const char* p = reinterpret_cast<const char*>(data);
  const void* nul = memchr(p, '\0', size);
  if (nul == nullptr) return {std::string(p, size), std::string()};
  size_t n = size_t(static_cast<const char*>(nul) - p);
  return {std::string(p, n), std::string(p + n + 1, size - n - 1)};
}
