// Extracting local archives with brix beside GNU tar, in the same run:
//
//   one    one 1 MiB member from the middle of a 10 GiB archive of 1,000
//          and of 1,000,000 members (sparse: 5 GiB members of holes near
//          either end, empty members between), brix through its index
//          (built by brix -X, which reads headers only) beside tar -xf of
//          the same member;
//   files  100,000 files of 1 KiB from one archive, brix -x -E beside
//          tar -xf, and the ratio; then every other one of those files
//          (50,000 members none of which follows another in the archive),
//          named by one pattern: brix -x -E beside tar -xf --wildcards,
//          and the ratio; and brix given the 50,000 names in a list file.
//
//   bench_brix_extract [one|files|all] [rounds]
//
// Everything lives in a temporary directory removed at the end.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "brix_ustar.h"
#include "brix_session.h"
#include "timed_run.h"

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void check(const TimedRun& r, const char* what) {
  if (r.status != 0) {
    fprintf(stderr, "%s failed with status %d\n", what, r.status);
    exit(1);
  }
}

void makeSmallTree(const std::string& root) {
  std::string data(1024, 'x');
  mkdir(root.c_str(), 0755);
  for (int d = 0; d < 100; d++) {
    std::string dir = root + "/d" + std::to_string(d);
    mkdir(dir.c_str(), 0755);
    for (int f = 0; f < 1000; f++) {
      std::string p = dir + "/f" + std::to_string(f);
      int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || write(fd, data.data(), data.size()) != ssize_t(data.size())) {
        perror(p.c_str());
        exit(1);
      }
      close(fd);
    }
  }
}

// A ustar header for a plain file member.
void header(const char* name, uint64_t size, unsigned char block[512]) {
  bif_entry_t e = {};
  strncpy(e.bent_name, name, sizeof e.bent_name - 1);
  e.bent_type = BTO_FILE;
  e.bent_mode = 0644;
  e.bent_fsize = size;
  e.bent_mtime = 1700000000;
  strcpy(e.bent_uname, "root");
  strcpy(e.bent_gname, "root");
  brix_BuildPosixHeader(&e, block);
}

// pad1 (5 GiB of holes), empty members, mid.bin (1 MiB of data), empty
// members, pad2 (5 GiB of holes), then the end: a 10 GiB archive of
// `members` members that takes little more disk than their headers.
void makeSparseArchive(const std::string& path, std::string* midData, uint32_t members) {
  const uint64_t pad = 5ull << 30;
  const uint64_t mid = 1u << 20;
  std::mt19937 rng(5);
  midData->resize(mid);
  for (char& c : *midData) c = char(rng());
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  unsigned char block[512];
  off_t at = 0;
  std::vector<unsigned char> pending;  // headers written in large pieces
  auto flush = [&] {
    if (!pending.empty() && pwrite(fd, pending.data(), pending.size(), at) != ssize_t(pending.size())) {
      perror(path.c_str());
      exit(1);
    }
    at += off_t(pending.size());
    pending.clear();
  };
  auto put = [&](const void* p, size_t n) {
    const unsigned char* c = static_cast<const unsigned char*>(p);
    pending.insert(pending.end(), c, c + n);
    if (pending.size() >= (8u << 20)) flush();
  };
  uint32_t empties = members > 3 ? members - 3 : 0;
  auto emptyMembers = [&](uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; i++) {
      char name[32];
      snprintf(name, sizeof name, "e/m%07u", i);
      header(name, 0, block);
      put(block, 512);
    }
  };
  header("pad1", pad, block);
  put(block, 512);
  flush();
  at += off_t(pad);
  emptyMembers(0, empties / 2);
  header("mid.bin", mid, block);
  put(block, 512);
  put(midData->data(), mid);
  emptyMembers(empties / 2, empties);
  header("pad2", pad, block);
  put(block, 512);
  flush();
  at += off_t(pad);
  std::vector<unsigned char> end(10240, 0);
  put(end.data(), end.size());
  flush();
  close(fd);
}

std::string readAll(const std::string& path) {
  std::string s;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return s;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = argc > 1 ? argv[1] : "all";
  int rounds = argc > 2 ? atoi(argv[2]) : 3;
  if (rounds < 1) rounds = 1;
  BrixSession s;
  if (!s.ready()) {
    fprintf(stderr, "gwsim did not start\n");
    return 1;
  }
  std::vector<std::string> env = s.environment();
  std::string brix = BrixSession::program();
  auto clean = [&](const std::string& dir) {
    shellRun("rm -rf " + dir);
    mkdir(dir.c_str(), 0755);
  };

  if (which == "one" || which == "all") for (uint32_t members : {1000u, 1000000u}) {
    std::string archive = s.work + "/big.tar";
    std::string mid;
    makeSparseArchive(archive, &mid, members);
    TimedRun ix = timedRun({brix, "-X", "-E", "-f", archive}, env, s.work);
    check(ix, "brix -X");
    std::string tx = s.work + "/tx", bx = s.work + "/bx";
    std::vector<double> tarT, brixT, listT, tarC, brixC;
    for (int i = 0; i < rounds; i++) {
      clean(tx);
      clean(bx);
      // A listing of the same member: brix's start-up and gateway log-in.
      TimedRun l = timedRun({brix, "-t", "-E", "-f", archive, "mid.bin"}, env, bx);
      check(l, "brix -t");
      listT.push_back(l.seconds);
      TimedRun a = timedRun({"tar", "-xf", archive, "mid.bin"}, {}, tx);
      check(a, "tar -xf");
      TimedRun b = timedRun({brix, "-x", "-E", "-f", archive, "mid.bin"}, env, bx);
      check(b, "brix -x");
      tarT.push_back(a.seconds);
      brixT.push_back(b.seconds);
      tarC.push_back(a.cpuSeconds);
      brixC.push_back(b.cpuSeconds);
    }
    if (readAll(bx + "/mid.bin") != mid || readAll(tx + "/mid.bin") != mid) {
      fprintf(stderr, "extracted member differs\n");
      return 1;
    }
    double t = median(tarT), b = median(brixT);
    double l = median(listT);
    printf("extract 1 MiB member from the middle of a 10 GiB archive of %u members: brix -X (index "
           "build) %.3f s; tar -xf %.3f s (CPU %.3f s), brix -x -E %.3f s (CPU %.3f s) (medians of %d), "
           "ratio brix/tar %.2f; brix -t of the member (start-up and log-in) %.3f s, extract beyond "
           "it %.3f s\n",
           members, ix.seconds, t, median(tarC), b, median(brixC), rounds, b / t, l, b - l);
    fflush(stdout);
    unlink(archive.c_str());
    unlink((archive + ".idx").c_str());
    shellRun("rm -rf " + tx + " " + bx);
  }
  if (which == "files" || which == "all") {
    printf("creating 100,000 files of 1 KiB...\n");
    fflush(stdout);
    std::string archive = s.work + "/files.tar";
    makeSmallTree(s.work + "/tree");
    check(timedRun({brix, "-c", "-E", "-f", archive, "tree"}, env, s.work), "brix -c");
    // Every round extracts into directories of its own, all removed at the
    // end: the file system slows the creation of files right after many
    // were removed, which would blur the figures.
    std::vector<double> tarT, brixT, tarC, brixC;
    std::string last;
    for (int i = 0; i < rounds + 1; i++) {
      std::string tx = s.work + "/tx" + std::to_string(i), bx = s.work + "/bx" + std::to_string(i);
      mkdir(tx.c_str(), 0755);
      mkdir(bx.c_str(), 0755);
      TimedRun a, b;
      // Turn about, so neither always runs on the other's heels.
      if (i % 2 == 0) {
        a = timedRun({"tar", "-xf", archive}, {}, tx);
        b = timedRun({brix, "-x", "-E", "-f", archive}, env, bx);
      } else {
        b = timedRun({brix, "-x", "-E", "-f", archive}, env, bx);
        a = timedRun({"tar", "-xf", archive}, {}, tx);
      }
      check(a, "tar -xf");
      check(b, "brix -x");
      last = bx;
      if (i == 0) continue;  // the first round warms the caches
      tarT.push_back(a.seconds);
      brixT.push_back(b.seconds);
      tarC.push_back(a.cpuSeconds);
      brixC.push_back(b.cpuSeconds);
    }
    std::string diff;
    if (shellRun("diff -r " + s.work + "/tree " + last + "/tree", &diff) != 0) {
      fprintf(stderr, "trees differ: %s\n", diff.substr(0, 500).c_str());
      return 1;
    }
    double t = median(tarT), b = median(brixT);
    printf("extract 100000 x 1 KiB: tar -xf %.3f s (CPU %.3f s), brix -x -E %.3f s (CPU %.3f s) "
           "(medians of %d), ratio brix/tar %.2f\n",
           t, median(tarC), b, median(brixC), rounds, b / t);
    fflush(stdout);

    // Every other file: each member is a range of its own. Both take one
    // pattern, so the figures are of the extraction, not of matching 50,000
    // names (GNU tar's -T list is matched name by name per member, minutes
    // here); brix also takes the same members as a list of names.
    std::string names = s.work + "/every-other";
    {
      FILE* f = fopen(names.c_str(), "w");
      for (int d = 0; d < 100; d++)
        for (int n = 0; n < 1000; n += 2) fprintf(f, "tree/d%d/f%d\n", d, n);
      fclose(f);
    }
    const char* pattern = "tree/d*/f*[02468]";
    tarT.clear();
    brixT.clear();
    std::vector<double> listT;
    for (int i = 0; i < rounds + 1; i++) {
      std::string tx = s.work + "/tsel" + std::to_string(i), bx = s.work + "/bsel" + std::to_string(i),
                  lx = s.work + "/lsel" + std::to_string(i);
      mkdir(tx.c_str(), 0755);
      mkdir(bx.c_str(), 0755);
      mkdir(lx.c_str(), 0755);
      TimedRun a, b, l;
      if (i % 2 == 0) {
        a = timedRun({"tar", "-xf", archive, "--wildcards", pattern}, {}, tx);
        b = timedRun({brix, "-x", "-E", "-f", archive, pattern}, env, bx);
      } else {
        b = timedRun({brix, "-x", "-E", "-f", archive, pattern}, env, bx);
        a = timedRun({"tar", "-xf", archive, "--wildcards", pattern}, {}, tx);
      }
      l = timedRun({brix, "-x", "-E", "-f", archive, "-L", names}, env, lx);
      check(a, "tar -xf --wildcards");
      check(b, "brix -x pattern");
      check(l, "brix -x -L");
      last = bx;
      if (i == 0) continue;
      tarT.push_back(a.seconds);
      brixT.push_back(b.seconds);
      listT.push_back(l.seconds);
    }
    for (const std::string& dir : {last, s.work + "/lsel1"}) {
      if (shellRun("cmp -s " + s.work + "/tree/d7/f998 " + dir + "/tree/d7/f998") != 0 ||
          access((dir + "/tree/d7/f999").c_str(), F_OK) == 0) {
        fprintf(stderr, "every-other extract did not take the members named (%s)\n", dir.c_str());
        return 1;
      }
    }
    t = median(tarT);
    b = median(brixT);
    printf("extract every other of 100000 x 1 KiB (50000 separate ranges, one pattern): tar -xf --wildcards %.3f s, "
           "brix -x -E %.3f s (medians of %d), ratio brix/tar %.2f; brix -x -E -L of the 50000 names %.3f s\n",
           t, b, rounds, b / t, median(listT));
    fflush(stdout);
    unlink(archive.c_str());
    shellRun("rm -rf " + s.work + "/tree " + s.work + "/tx* " + s.work + "/bx* " + s.work + "/tsel* " + s.work +
             "/bsel* " + s.work + "/lsel* " + names);
  }
  return 0;
}
