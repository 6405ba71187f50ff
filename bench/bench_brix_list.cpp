// Listing a 1,000,000-entry index with brix -t, time and peak memory,
// beside tar -tvf of the same archive: both under the same TZ (tar without
// one reads the zone file for every line), both writing to a file in the
// same directory; medians of 5 runs, wall and CPU time, and the ratio.
// Beside them, what the sink alone costs: cat writing each listing into a
// file there, so a ratio bounded by the file system shows as such.
//
//   bench_brix_list [entries]
//
// The archive (empty members) and its index are generated directly with
// brix's own format routines; about 1 GiB in a temporary directory.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "brix.h"
#include "brix_ustar.h"
#include "brix_index.h"
#include "brix_session.h"
#include "journal_text.h"
#include "timed_run.h"

namespace {

struct bufferedFile {
  int fd;
  std::vector<unsigned char> buf;
  void put(const void* p, size_t n) {
    const unsigned char* c = static_cast<const unsigned char*>(p);
    buf.insert(buf.end(), c, c + n);
    if (buf.size() >= (8u << 20)) flush();
  }
  void flush() {
    if (!buf.empty() && write(fd, buf.data(), buf.size()) != ssize_t(buf.size())) {
      perror("write");
      exit(1);
    }
    buf.clear();
  }
};

// An archive of n empty members in 1000 directories and its index.
void generate(const std::string& archive, const std::string& index, uint32_t n) {
  brix_function = BOP_CREATE;
  brix_zeroblock = static_cast<unsigned char*>(calloc(1, 512));
  bufferedFile a{open(archive.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), {}};
  bufferedFile x{open(index.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), {}};
  struct stat st;
  memset(&st, 0, sizeof st);
  st.st_mode = S_IFREG | 0644;
  st.st_mtime = 1700000000;
  st.st_uid = getuid();
  st.st_gid = getgid();
  unsigned char hdr[512];
  bif_hdr_t placeholder;
  memset(&placeholder, 0, sizeof placeholder);
  x.put(&placeholder, sizeof placeholder);
  brix_archive_blocks = 0;
  auto add = [&](const std::string& name, const struct stat& s, const void* data, size_t size) {
    brix_FileSpec_t spec;
    std::string copy = name;
    brix_BuildFileSpec(BTO_FILE, 0, copy.data(), nullptr, 0, &s, &spec);
    bif_entry_t e;
    if (brix_IndexFromFileSpec(0, &spec, &e) != 0) exit(1);
    brix_BuildPosixHeader(&e, hdr);
    a.put(hdr, 512);
    if (size) {
      a.put(data, size);
      a.put(brix_zeroblock, (512 - size % 512) % 512);
    }
    brix_archive_blocks += e.bent_blocks;
    brix_SwapIndexEntry(&e);
    x.put(&e, sizeof e);
  };
  for (uint32_t i = 0; i < n; i++) {
    char name[64];
    snprintf(name, sizeof name, "tree/d%03u/file%07u", i % 1000, i);
    add(name, st, nullptr, 0);
  }
  brix_index_entries = n + 1;
  brix_archive_blocks += 3;
  brix_BuildConsistencyHeader();
  bif_consistency_t cf = brix_index_hdr.bif_cfinfo;
  brix_SwapConsistency(&cf);
  brix_archive_blocks -= 3;
  struct stat cfst = st;
  cfst.st_size = 256;
  cfst.st_mode = S_IFREG | 0600;
  add("/tmp/BRIX_CF_CHK_bench", cfst, &cf, sizeof cf);
  a.put(brix_zeroblock, 512);
  brix_archive_blocks += 1;
  a.flush();
  x.flush();
  brix_BuildIndexHeader();
  bif_hdr_t h = brix_index_hdr;
  brix_SwapIndexHeader(&h);
  if (pwrite(x.fd, &h, sizeof h, 0) != ssize_t(sizeof h)) exit(1);
  close(a.fd);
  close(x.fd);
}

uint64_t fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t n = argc > 1 ? uint32_t(atol(argv[1])) : 1000000;
  BrixSession s;
  if (!s.ready()) {
    fprintf(stderr, "gwsim did not start\n");
    return 1;
  }
  std::string archive = s.work + "/a.tar", index = archive + ".idx";
  printf("generating an archive and index of %u members...\n", n);
  fflush(stdout);
  generate(archive, index, n);
  std::vector<std::string> env = s.environment();
  std::vector<std::string> tarEnv = {"TZ=UTC", std::string("PATH=") + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")};
  for (const std::string& e : env)
    if (e.rfind("TZ=", 0) == 0) tarEnv[0] = e;  // whatever zone brix runs under
  // Warm the page cache, then measure each five times, in turn.
  timedRun({"cat", archive, index}, {}, s.work);
  std::vector<TimedRun> runs[2];
  std::string brixOut = s.work + "/brix.out", brixErr = s.work + "/brix.err", tarOut = s.work + "/tar.out";
  for (int round = 0; round < 5; round++) {
    TimedRun b = timedRun({BrixSession::program(), "-t", "-E", "-f", archive}, env, s.work, brixOut, brixErr);
    TimedRun t = timedRun({"tar", "-tvf", archive}, tarEnv, s.work, tarOut);
    std::string listed = readFile(brixOut);
    size_t lines = size_t(std::count(listed.begin(), listed.end(), '\n'));
    if (b.status != 0 || t.status != 0 || lines != size_t(n) + 2 ||
        listed.find("BRIX: BRIX SUCCESSFUL\n") == std::string::npos) {
      fprintf(stderr, "list failed: brix %d (%zu lines), tar %d\n%s", b.status, lines, t.status,
              readFile(brixErr).c_str());
      return 1;
    }
    runs[0].push_back(b);
    runs[1].push_back(t);
  }
  // The sink alone: the same bytes written into a file in the same place.
  std::vector<TimedRun> sinks[2];
  std::string sinkOut = s.work + "/sink.out";
  for (int round = 0; round < 5; round++) {
    sinks[0].push_back(timedRun({"cat", brixOut}, {}, s.work, sinkOut));
    sinks[1].push_back(timedRun({"cat", tarOut}, {}, s.work, sinkOut));
  }
  for (auto& v : sinks)
    std::sort(v.begin(), v.end(), [](const TimedRun& a, const TimedRun& b) { return a.cpuSeconds < b.cpuSeconds; });
  for (auto& v : runs)
    std::sort(v.begin(), v.end(), [](const TimedRun& a, const TimedRun& b) { return a.seconds < b.seconds; });
  const TimedRun& b = runs[0][2];
  const TimedRun& t = runs[1][2];
  printf("list %u entries (medians of 5, TZ as brix's): brix -t %.3f s (CPU %.3f s), peak %ld KiB; "
         "tar -tvf %.3f s (CPU %.3f s), peak %ld KiB\n",
         n, b.seconds, b.cpuSeconds, b.maxRssKb, t.seconds, t.cpuSeconds, t.maxRssKb);
  printf("tar/brix: wall %.1fx, CPU %.1fx (goal: 50x)\n", t.seconds / b.seconds,
         t.cpuSeconds / b.cpuSeconds);
  const TimedRun& bs = sinks[0][2];
  const TimedRun& ts = sinks[1][2];
  printf("the sink alone (cat of each listing into a file beside it, medians of 5): brix's %.1f MB CPU %.3f s, "
         "tar's %.1f MB CPU %.3f s; CPU less the sink: brix %.3f s, tar %.3f s, tar/brix %.1fx\n",
         double(fileSize(brixOut)) / 1e6, bs.cpuSeconds, double(fileSize(tarOut)) / 1e6, ts.cpuSeconds,
         b.cpuSeconds - bs.cpuSeconds, t.cpuSeconds - ts.cpuSeconds,
         (t.cpuSeconds - ts.cpuSeconds) / std::max(b.cpuSeconds - bs.cpuSeconds, 1e-3));
  for (const std::string& f : {archive, index, brixOut, brixErr, tarOut, sinkOut}) unlink(f.c_str());
  return 0;
}
