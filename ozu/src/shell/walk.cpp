// The storage and local directory walkers.
#include "ozu_walk.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ozu_errors.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "qel_threads.h"
#include "quor_api.h"

namespace {

std::string joinPath(const std::string &dir, const char *name, bool storage)
{
  if (storage && dir == "/")
    return "/" + std::string(name);
  return dir + "/" + name;
}

std::string trimmed(const char *path)
{
  std::string p = path ? path : "";
  if (p.size() > 1 && p.back() == '/')
    p.pop_back();
  return p;
}

}  // namespace

int readQUORdir(const char *path, int recurse, quordir_ent_func_t entCallback,
                quordir_subdir_func_t subdirCallback, dir_enddir_func_t enddirCallback)
{
  std::string dir = trimmed(path);
  if (dir.size() > 1039) {
    setExitResult(72, quor_perror(-86, "readQUORdir", dir.c_str(), nullptr), 7);
    if (enddirCallback)
      enddirCallback(dir.c_str());
    return -1;
  }
  if (debug >= 1)
    fprintf(stderr, "readQUORdir: reading QUOR directory '%s',recursion flag=%d\n", dir.c_str(),
            recurse);
  int errors = 0;
  int dirdes = ozu_EioRetry([&] { return quor_Opendir(dir.c_str()); });
  std::vector<ns_DirEntry_t> subdirs;
  std::vector<ns_DirEntry_t> batch;
  if (dirdes < 0) {
    setExitResult(72, quor_perror(dirdes, "quor_Opendir", dir.c_str(), nullptr), 7);
    ++errors;
  } else {
    quor_Attrs_t attrs;
    int rc = ozu_EioRetry([&] { return quor_GetListAttrs(dir.c_str(), &attrs); });
    if (rc < 0) {
      setExitResult(66, quor_perror(rc, "quor_GetListAttrs", dir.c_str(), nullptr), 7);
      ++errors;
    } else {
      long n = long(attrs.EntryCount) + 1;
      if (n > globalDefs.maxReaddirEntries)
        n = globalDefs.maxReaddirEntries;
      if (n < 1)
        n = 1;
      batch.resize(size_t(n));
      uint64_t offset = 0;
      uint32_t end = 0;
      bool busyShown = false;
      while (!interrupted && !end) {
        uint64_t next = 0;
        int got = ozu_EioRetry([&] {
          return quor_ReadAttrs(dirdes, offset, uint32_t(sizeof(ns_DirEntry_t) * batch.size()), 1,
                                &end, &next, batch.data());
        });
        if (got == -16) {
          char msg[1100];
          snprintf(msg, sizeof msg, "[directory %s busy...waiting]", dir.c_str());
          ozu_ConsoleMessage(msg);
          busyShown = true;
          end = 0;
          ozugw_ThreadSleep(1, 0);
          continue;
        }
        if (busyShown) {
          ozu_ConsoleMessage("");
          busyShown = false;
        }
        if (got < 0) {
          setExitResult(72, quor_perror(got, "quor_ReadAttrs", dir.c_str(), nullptr), 7);
          ++errors;
          break;
        }
        if (debug >= 2)
          fprintf(listF, "/debug/read %d entries starting at %d,%d and ending at %d,%d\n", got,
                  int(offset >> 32), int(offset & 0xffffffff), int(next >> 32),
                  int(next & 0xffffffff));
        offset = next;
        for (int i = 0; i < got && i < int(batch.size()) && !interrupted; ++i) {
          ns_DirEntry_t &e = batch[size_t(i)];
          e.Name[sizeof e.Name - 1] = '\0';
          if (debug >= 2)
            fprintf(listF, "/debug/current inx=%d, entry name=%s\n", i, e.Name);
          if (strcmp(e.Name, ".") == 0 || strcmp(e.Name, "..") == 0)
            continue;
          std::string full = joinPath(dir, e.Name, true);
          int isdir = e.Attrs.Type == 132 ? 1 : 0;
          if (isdir) {
            if (debug >= 2)
              fprintf(listF, "found subdirectory %s\n", full.c_str());
            if (recurse)
              subdirs.push_back(e);
          }
          if (verboseFlag)
            fprintf(listF, "Entry name %s\n", e.Name);
          if (entCallback)
            entCallback(&e, isdir, dir.c_str(), full.c_str());
        }
        if (end && debug >= 2)
          fprintf(listF, "%s: end of initial pass on subdir `%s'\n", "readQUORdir", dir.c_str());
      }
    }
    rc = ozu_EioRetry([&] { return quor_Closedir(dirdes); });
    if (rc < 0) {
      setExitResult(74, quor_perror(rc, "quor_Closedir", dir.c_str(), nullptr), 7);
      ++errors;
    }
    for (ns_DirEntry_t &e : subdirs) {
      std::string full = joinPath(dir, e.Name, true);
      if (verboseFlag)
        fprintf(listF, "Subdirectory %s\n", full.c_str());
      if (subdirCallback && subdirCallback(e.Name, full.c_str(), &e) < 0)
        continue;
      if (readQUORdir(full.c_str(), recurse, entCallback, subdirCallback, enddirCallback) != 0)
        ++errors;
    }
  }
  if (debug >= 2)
    fprintf(listF, "readQUORdir: end of directory `%s' reached \n", dir.c_str());
  if (enddirCallback)
    enddirCallback(dir.c_str());
  return errors ? -1 : 0;
}

int readLocalDir(const char *path, int recurse, localdir_ent_func_t entCallback,
                 statdir_subdir_func_t subdirCallback, dir_enddir_func_t enddirCallback)
{
  std::string dir = trimmed(path);
  if (dir.size() > 4111) {
    setExitResult(72, quor_perror(-86, "readLocalDir", dir.c_str(), nullptr), 7);
    if (enddirCallback)
      enddirCallback(dir.c_str());
    return -1;
  }
  if (debug >= 1)
    fprintf(stderr, "readLocalDir: reading directory '%s'\n", dir.c_str());
  int errors = 0;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    char msg[4200];
    snprintf(msg, sizeof msg, "*** Error %d opening local directory %s\n", errno, dir.c_str());
    setExitResult(72, msg, 7);
    ++errors;
  } else {
    bool sawDir = false;
    bool stop = false;
    for (int pass = 0; pass < 2 && !stop; ++pass) {
      if (pass == 1) {
        if (!recurse || !sawDir)
          break;
        rewinddir(d);
      }
      struct dirent64 *e;
      while (!interrupted && (e = readdir64(d)) != nullptr) {
        if (e->d_name[0] == '\0' || strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
          continue;
        std::string full = dir + "/" + e->d_name;
        struct stat64 st;
        if (lstat64(full.c_str(), &st) != 0) {
          fprintf(listF, "*** Error %d trying to stat local node '%s'\n", errno, full.c_str());
          ++errors;
          continue;
        }
        int isdir = S_ISDIR(st.st_mode) ? 1 : 0;
        if (pass == 0) {
          if (isdir)
            sawDir = true;
          if (entCallback && entCallback(e, &st, isdir, dir.c_str(), full.c_str()) == -1) {
            ++errors;
            stop = true;
            break;
          }
        } else if (isdir) {
          if (subdirCallback && subdirCallback(e->d_name, full.c_str(), &st) < 0)
            continue;
          if (readLocalDir(full.c_str(), recurse, entCallback, subdirCallback, enddirCallback) != 0)
            ++errors;
        }
      }
      if (debug >= 2)
        fprintf(listF, "readLocalDir: end of pass %d on `%s'\n", pass, dir.c_str());
    }
  }
  if (debug >= 2)
    fprintf(listF, "readLocalDir: end of directory `%s'\n", dir.c_str());
  if (enddirCallback)
    enddirCallback(dir.c_str());
  if (d)
    closedir(d);
  return errors ? -1 : 0;
}

int readRemoteDir(const char *path, int recurse, remotedir_ent_func_t entCallback,
                  statdir_subdir_func_t subdirCallback, dir_enddir_func_t enddirCallback)
{
  static const char *fn = "readRemoteDir";
  std::string dir = trimmed(path);
  if (dir.size() > 4096) {
    setExitResult(72, quor_perror(-86, fn, dir.c_str(), nullptr), 7);
    if (enddirCallback)
      enddirCallback(dir.c_str());
    return -1;
  }
  if (debug >= 1)
    fprintf(stderr, "%s: reading directory '%s'\n", fn, dir.c_str());
  int errors = 0;
  int dirdes = ozugw_LfxOpendir(dir.c_str());
  if (dirdes < 0) {
    char msg[4300];
    snprintf(msg, sizeof msg, "***%s: Error %d opening local directory %s\n", fn, dirdes,
             dir.c_str());
    setExitResult(72, msg, 7);
    ++errors;
  } else {
    int n = globalDefs.maxReaddirEntries > 0 ? globalDefs.maxReaddirEntries : 1;
    std::vector<ozu_lfx_attrs_t> batch(static_cast<size_t>(n));
    bool sawDir = false;
    bool stop = false;
    for (int pass = 0; pass < 2 && !stop; ++pass) {
      if (pass == 1) {
        if (!recurse || !sawDir)
          break;
        int rc = ozugw_LfxRewinddir(dirdes);
        if (rc < 0) {
          setExitResult(72, quor_perror(rc, "ozugw_LfxRewinddir", dir.c_str(), nullptr), 7);
          ++errors;
          break;
        }
      }
      int end = 0;
      while (!stop && !end && !interrupted) {
        int got = ozugw_LfxReadattrs(dirdes, n, &end, batch.data());
        if (got < 0) {
          setExitResult(72, quor_perror(got, "ozugw_LfxReadattrs", dir.c_str(), nullptr), 7);
          ++errors;
          stop = true;
          break;
        }
        for (int i = 0; i < got && i < n && !interrupted; ++i) {
          ozu_lfx_attrs_t &e = batch[size_t(i)];
          e.Filename[sizeof e.Filename - 1] = '\0';
          if (e.Filename[0] == '\0' || strcmp(e.Filename, ".") == 0 ||
              strcmp(e.Filename, "..") == 0)
            continue;
          std::string full = dir + "/" + e.Filename;
          if (full.size() > 4096) {
            setExitResult(72, quor_perror(-86, fn, full.c_str(), nullptr), 7);
            ++errors;
            continue;
          }
          struct stat64 st;
          memset(&st, 0, sizeof st);
          ozugw_LfxStatToStat(&e.LfxAttrs, &st);
          int isdir = S_ISDIR(st.st_mode) ? 1 : 0;
          if (pass == 0) {
            if (isdir)
              sawDir = true;
            if (entCallback && entCallback(&st, isdir, dir.c_str(), full.c_str()) == -1) {
              ++errors;
              stop = true;
              break;
            }
          } else if (isdir) {
            if (subdirCallback && subdirCallback(e.Filename, full.c_str(), &st) < 0)
              continue;
            if (readRemoteDir(full.c_str(), recurse, entCallback, subdirCallback,
                              enddirCallback) != 0)
              ++errors;
          }
        }
      }
      if (debug >= 2)
        fprintf(listF, "readRemoteDir: end of pass %d on `%s'\n", pass, dir.c_str());
    }
  }
  if (debug >= 2)
    fprintf(listF, "readRemoteDir: end of directory `%s'\n", dir.c_str());
  if (enddirCallback)
    enddirCallback(dir.c_str());
  if (dirdes >= 0) {
    int rc = ozugw_LfxClosedir(dirdes);
    if (rc < 0) {
      setExitResult(72, quor_perror(rc, "ozugw_LfxClosedir", dir.c_str(), nullptr), 7);
      ++errors;
    }
  }
  return errors ? -1 : 0;
}
