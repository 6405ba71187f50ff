// The corpus of files brix's end-to-end tests archive (sizes around block
// boundaries, long and non-ASCII names, links, set-id modes, extreme times
// and large ids) and a Python checker that compares archives and extracted
// trees with it.
//
// kChecker modes: "tarfile ARCHIVE SRC" reads ARCHIVE with Python's tarfile,
// compares it with SRC and the tree tarfile extracts (printing "block path"
// per member); "tree DIR SRC" compares an extracted tree DIR with SRC. Exits
// non-zero with the differences.
#ifndef TESTS_SUPPORT_BRIX_CORPUS_H
#define TESTS_SUPPORT_BRIX_CORPUS_H

#include <time.h>

#include <string>

extern const char* kChecker;
std::string repeat(char c, size_t n);
// Sets a path's access and modification times (not following a link).
void setTimes(const std::string& path, time_t t);
void makeCorpus(const std::string& dir);

#endif
