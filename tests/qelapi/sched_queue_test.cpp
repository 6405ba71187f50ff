// The stage scheduler's queue without a gateway: files given with their
// attributes, grouped by volume, sorted, walked, looked up, and a session
// of disk files only. Each case runs in a child, since the scheduler and
// its thread live for the whole process.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "client_process.h"
#include "quor_sched_internal.h"
#include "quor_scheduler.h"

namespace {

void offlineEnv() {
  // The library starts but never connects: nothing listens there.
  setenv("QUOR_SERVER_HOST", "127.0.0.1/9", 1);
  setenv("QUOR_HOSTNAME", "localhost", 1);
  setenv("QUOR_TEST_TIMESCALE", "1000", 1);
  unsetenv("QUOR_CFG_FILE_PATH");
  unsetenv("OZU_DEBUG_AUTOSCHEDULER");
}

pv_list_element_t labels[2] = {{{'L', 'A', 'B', 'E', 'L', 'X', 'Y', 'Z', '1', '2', '3', '4'}, 0},
                               {{'Q'}, 0}};
pv_list_t labelList = {2, labels};

quor_xfileattr_t tapeAttrs(const char* vol, int32_t pos, uint64_t off, bool withLabel = false) {
  quor_xfileattr_t a;
  memset(&a, 0, sizeof a);
  a.Attrs.Type = 129;
  a.Attrs.DataLength = 1000;
  bf_sc_attrib_t& l = a.SCAttrib[1];
  l.Flags = 0x2 | 0x4;
  l.BytesAtLevel = 1000;
  l.NumberOfVVs = 1;
  memcpy(l.VVAttrib[0].VVID.Bytes, vol, strlen(vol));
  l.VVAttrib[0].RelPosition = pos;
  l.VVAttrib[0].RelPositionOffset = off;
  if (withLabel) l.VVAttrib[0].PVList = &labelList;
  return a;
}

quor_xfileattr_t diskAttrs(uint32_t type = 129) {
  quor_xfileattr_t a = tapeAttrs("ignored", 9, 9);
  a.Attrs.Type = type;
  a.SCAttrib[1].Flags = 0x2;  // a tape copy without the data
  a.SCAttrib[0].Flags = 0x1 | 0x4;
  a.SCAttrib[0].BytesAtLevel = 1000;
  a.SCAttrib[0].NumberOfVVs = 1;
  memcpy(a.SCAttrib[0].VVAttrib[0].VVID.Bytes, "DISKVV", 6);
  a.SCAttrib[0].VVAttrib[0].RelPosition = 4;
  return a;
}

int add(const char* path, quor_xfileattr_t a, quor_sched_handle_t* h = nullptr,
        int* res = nullptr, quoroid_t* vv = nullptr) {
  return quorex_SchedAddFile(path, &a, res, h, vv, nullptr);
}

// The paths of the whole queue, walked in order.
std::vector<std::string> walk(const quoroid_t* vv = nullptr) {
  std::vector<std::string> out;
  int next = 0;
  for (int at = 0;; at = next) {
    char* path = nullptr;
    quor_sched_handle_t h;
    char label[13];
    int32_t pos;
    uint64_t size;
    if (quorex_SchedGetQueueEntry(vv, at, &next, &path, &h, label, &pos, &size) != 0) break;
    out.push_back(path);
  }
  return out;
}

TEST(SchedQueue, RefusedBeforeStart) {
  ChildResult r = runInChild([] {
    int failures = 0;
    offlineEnv();
    quor_xfileattr_t a = tapeAttrs("VOL", 1, 0);
    char* path = nullptr;
    quor_sched_handle_t h{};
    int n = 0, st = 0;
    char label[13];
    int32_t pos;
    uint64_t size;
    CHILD_EQ(failures, quorex_SchedAddFile("/a", &a, nullptr, nullptr, nullptr, nullptr), -22);
    CHILD_EQ(failures, quorex_SchedSortQueue(), -22);
    CHILD_EQ(failures, quorex_SchedGetQueueEntry(nullptr, 0, &n, &path, &h, label, &pos, &size), -22);
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 0, 0, nullptr, nullptr, nullptr, nullptr), -22);
    CHILD_EQ(failures, quorex_GetNextStagedFile(&path, &h), -22);
    CHILD_EQ(failures, quorex_SchedQueryFileStatus(&h, &st, &path), -22);
    CHILD_EQ(failures, quorex_SchedSessionIsActive(), 0);
    CHILD_EQ(failures, quorex_SchedFreeQueue(), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// A callback socket that cannot be set up fails the start, and the process
// goes on: nothing in the library ends it.
TEST(SchedQueue, ACallbackSocketThatCannotBeBoundFailsTheStart) {
  ChildResult r = runInChild([] {
    int failures = 0;
    offlineEnv();
    setenv("QUOR_CTL_HOSTNAME", "192.0.2.1", 1);  // no address of this host
    char* path = nullptr;
    quor_sched_handle_t h{};
    CHILD_EQ(failures, quorex_SchedInitQueue(0), -1);
    CHILD_EQ(failures, quorex_SchedInitQueue(0), -1);
    CHILD_EQ(failures, quorex_GetNextStagedFile(&path, &h), -22);
    CHILD_EQ(failures, quorex_SchedSessionIsActive(), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("trying to bind callback socket"), std::string::npos) << r.stderrText;
}

TEST(SchedQueue, FilesGroupByVolumeAndKeepTheirHandles) {
  ChildResult r = runInChild([] {
    int failures = 0;
    offlineEnv();
    if (quorex_SchedInitQueue(0) != 0) return 1;
    quor_sched_handle_t h1, h2, hd[3];
    int res = -1;
    quoroid_t vv;
    CHILD_EQ(failures, add("/t/one", tapeAttrs("VOL001", 5, 0, true), &h1, &res, &vv), 0);
    CHILD_EQ(failures, res, 1);
    CHILD_CHECK(failures, memcmp(vv.Bytes, "VOL001", 6) == 0);
    CHILD_EQ(failures, add("/t/two", tapeAttrs("VOL001", 3, 0, true), &h2), 0);
    CHILD_EQ(failures, h1.vvidHash, h2.vvidHash);
    CHILD_EQ(failures, h1.vvUniqueID, h2.vvUniqueID);
    CHILD_EQ(failures, h1.fileUniqueID, 0);
    CHILD_EQ(failures, h2.fileUniqueID, 1);
    // Disk files share the all-zero volume whatever their level says, and
    // the caller's record is cleared to match.
    const char* disk[3] = {"/d/a", "/d/b", "/d/c"};
    for (int i = 0; i < 3; i++) {
      quor_xfileattr_t a = diskAttrs(i == 2 ? 131 : 129);
      res = -1;
      memset(&vv, 0x55, sizeof vv);
      CHILD_EQ(failures, quorex_SchedAddFile(disk[i], &a, &res, &hd[i], &vv, nullptr), 0);
      CHILD_EQ(failures, res, 0);
      quoroid_t zero{};
      CHILD_CHECK(failures, memcmp(&vv, &zero, sizeof vv) == 0);
      CHILD_CHECK(failures, memcmp(&a.SCAttrib[0].VVAttrib[0].VVID, &zero, sizeof zero) == 0);
      CHILD_EQ(failures, a.SCAttrib[0].VVAttrib[0].RelPosition, 0);
      CHILD_EQ(failures, hd[i].fileUniqueID, uint32_t(i));
    }
    CHILD_EQ(failures, hd[0].vvUniqueID, 1);
    sched_stats_t st;
    sched_GetStats(&st);
    CHILD_EQ(failures, st.volumes, 2);
    CHILD_EQ(failures, st.files, 5);

    // Refusals queue nothing.
    quor_xfileattr_t dir = diskAttrs(132);
    quor_xfileattr_t noData = tapeAttrs("VOL001", 1, 0);
    noData.SCAttrib[1].Flags = 0x2;
    quor_xfileattr_t noBytes = tapeAttrs("VOL001", 1, 0);
    noBytes.SCAttrib[1].BytesAtLevel = 0;
    CHILD_EQ(failures, add("/dir", dir), -21);
    CHILD_EQ(failures, add("/nodata", noData), -9);
    CHILD_EQ(failures, add("/nobytes", noBytes), -9);
    CHILD_EQ(failures, quorex_SchedAddFile(nullptr, &noData, nullptr, nullptr, nullptr, nullptr), -14);
    CHILD_EQ(failures, quorex_SchedAddFile("", &noData, nullptr, nullptr, nullptr, nullptr), -2);
    sched_GetStats(&st);
    CHILD_EQ(failures, st.files, 5);

    // The label is the first 12 characters of the first physical volume.
    char* path = nullptr;
    quor_sched_handle_t h;
    char label[13];
    int32_t pos;
    uint64_t size;
    int next = -1;
    CHILD_EQ(failures, quorex_SchedGetQueueEntry(nullptr, 0, &next, &path, &h, label, &pos, &size), 0);
    CHILD_CHECK(failures, strcmp(label, "LABELXYZ1234") == 0);
    CHILD_EQ(failures, next, 1);
    CHILD_EQ(failures, size, 1000);

    quor_vv_queue_ent_t* v = nullptr;
    quor_file_queue_ent_t* e = nullptr;
    CHILD_EQ(failures, quorex_SchedLookupHandle(&h2, &v, &e), 0);
    CHILD_CHECK(failures, e && strcmp(e->path, "/t/two") == 0);
    quor_sched_handle_t missing = h2;
    missing.fileUniqueID = 7;
    CHILD_EQ(failures, quorex_SchedLookupHandle(&missing, &v, &e), -1);
    CHILD_EQ(failures, quorex_CompareSchedHandles(&h1, &h1), 0);
    CHILD_EQ(failures, quorex_CompareSchedHandles(&h1, &h2), 1);

    CHILD_EQ(failures, quorex_SchedFreeQueue(), 0);
    sched_GetStats(&st);
    CHILD_EQ(failures, st.volumes + st.files + st.readyCount, 0);
    CHILD_CHECK(failures, walk().empty());
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(SchedQueue, SortOrdersEachVolumeByPositionThenOffset) {
  ChildResult r = runInChild([] {
    int failures = 0;
    offlineEnv();
    if (quorex_SchedInitQueue(0) != 0) return 1;
    quor_sched_handle_t h[6];
    CHILD_EQ(failures, add("/b/5-100", tapeAttrs("B", 5, 100), &h[0]), 0);
    CHILD_EQ(failures, add("/a/9", tapeAttrs("A", 9, 0), &h[1]), 0);
    CHILD_EQ(failures, add("/b/2-0", tapeAttrs("B", 2, 0), &h[2]), 0);
    CHILD_EQ(failures, add("/b/5-10", tapeAttrs("B", 5, 10), &h[3]), 0);
    CHILD_EQ(failures, add("/a/1", tapeAttrs("A", 1, 0), &h[4]), 0);
    CHILD_EQ(failures, add("/b/-3", tapeAttrs("B", -3, 0), &h[5]), 0);
    CHILD_EQ(failures, quorex_SchedSortQueue(), 0);
    std::vector<std::string> want = {"/b/-3", "/b/2-0", "/b/5-10", "/b/5-100", "/a/1", "/a/9"};
    CHILD_CHECK(failures, walk() == want);
    quoroid_t a{};
    memcpy(a.Bytes, "A", 1);
    std::vector<std::string> wantA = {"/a/1", "/a/9"};
    CHILD_CHECK(failures, walk(&a) == wantA);
    // The handles still name their files.
    const char* names[6] = {"/b/5-100", "/a/9", "/b/2-0", "/b/5-10", "/a/1", "/b/-3"};
    for (int i = 0; i < 6; i++) {
      quor_file_queue_ent_t* e = nullptr;
      CHILD_EQ(failures, quorex_SchedLookupHandle(&h[i], nullptr, &e), 0);
      CHILD_CHECK(failures, e && strcmp(e->path, names[i]) == 0);
    }

    char* path = nullptr;
    quor_sched_handle_t hh;
    char label[13];
    int32_t pos;
    uint64_t size;
    int next = 0;
    quoroid_t never{};
    memcpy(never.Bytes, "NEVER", 5);
    CHILD_EQ(failures, quorex_SchedGetQueueEntry(&never, 0, &next, &path, &hh, label, &pos, &size), -2);
    CHILD_EQ(failures, quorex_SchedGetQueueEntry(nullptr, 6, &next, &path, &hh, label, &pos, &size), -9);
    CHILD_EQ(failures, quorex_SchedGetQueueEntry(&a, 2, &next, &path, &hh, label, &pos, &size), -9);
    CHILD_EQ(failures, quorex_SchedGetQueueEntry(nullptr, -1, &next, &path, &hh, label, &pos, &size), -22);
    CHILD_EQ(failures, quorex_SchedGetQueueEntry(nullptr, 0, &next, nullptr, &hh, label, &pos, &size), -14);
    CHILD_EQ(failures, quorex_SchedGetQueueEntry(nullptr, 5, &next, &path, &hh, label, &pos, &size), 0);
    CHILD_EQ(failures, pos, 9);
    CHILD_EQ(failures, next, 6);
    sched_stats_t st;
    sched_GetStats(&st);
    CHILD_EQ(failures, st.volumes, 2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(SchedQueue, DiskOnlySessionHandsOverInQueueOrderThenEnds) {
  ChildResult r = runInChild([] {
    int failures = 0;
    offlineEnv();
    if (quorex_SchedInitQueue(0) != 0) return 1;
    quor_sched_handle_t h[3];
    const char* names[3] = {"/x", "/y", "/z"};
    for (int i = 0; i < 3; i++) CHILD_EQ(failures, add(names[i], diskAttrs(), &h[i]), 0);
    int queued = -1, ready = -1;
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 0, 0, nullptr, nullptr, &queued, &ready), 0);
    CHILD_EQ(failures, queued, 0);
    CHILD_EQ(failures, ready, 3);
    CHILD_EQ(failures, quorex_SchedSessionIsActive(), 0);
    int status = 0;
    char* path = nullptr;
    CHILD_EQ(failures, quorex_SchedQueryFileStatus(&h[1], &status, &path), 0);
    CHILD_EQ(failures, status, 2);
    CHILD_CHECK(failures, path && strcmp(path, "/y") == 0);
    free(path);
    for (int i = 0; i < 3; i++) {
      quor_sched_handle_t got;
      path = nullptr;
      CHILD_EQ(failures, quorex_GetNextStagedFile(&path, &got), 0);
      CHILD_CHECK(failures, path && strcmp(path, names[i]) == 0);
      CHILD_EQ(failures, quorex_CompareSchedHandles(&got, &h[i]), 0);
      free(path);  // the caller's own copy
    }
    quor_sched_handle_t got;
    // Nothing more can come: the end, not "try again".
    CHILD_EQ(failures, quorex_GetNextStagedFile(&path, &got), -2);
    CHILD_CHECK(failures, path == nullptr);
    CHILD_EQ(failures, quorex_GetNextStagedFile(nullptr, &got), -14);
    CHILD_EQ(failures, quorex_SchedQueryFileStatus(&h[0], &status, &path), 0);
    CHILD_EQ(failures, status, -2);
    free(path);
    quor_sched_handle_t unknown = h[0];
    unknown.fileUniqueID = 99;
    status = 5;
    CHILD_EQ(failures, quorex_SchedQueryFileStatus(&unknown, &status, &path), -2);
    CHILD_EQ(failures, status, -2);
    CHILD_EQ(failures, quorex_SchedQueryFileStatus(&unknown, nullptr, &path), -14);
    CHILD_EQ(failures, quorex_SchedFreeQueue(), 0);
    sched_stats_t st;
    sched_GetStats(&st);
    CHILD_EQ(failures, st.volumes + st.files + st.readyCount, 0);
    // A new round starts clean.
    CHILD_EQ(failures, quorex_SchedInitQueue(0), 0);
    CHILD_EQ(failures, add("/again", diskAttrs()), 0);
    CHILD_CHECK(failures, walk() == std::vector<std::string>{"/again"});
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(SchedQueue, DumpListsVolumesAndFiles) {
  ChildResult r = runInChild([] {
    int failures = 0;
    offlineEnv();
    if (quorex_SchedInitQueue(0) != 0) return 1;
    CHILD_EQ(failures, add("/t/one", tapeAttrs("VOL001", 5, 7, true)), 0);
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);  // the listing goes where the test reads
    CHILD_EQ(failures, quorex_SchedDumpQueue(0), 0);
    CHILD_EQ(failures, quorex_SchedDumpQueue(7), -22);
    fflush(stdout);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("--------- Scheduling Queue Contents [Entry count: 1] ---------\n"
                              "------------------\n"
                              "VV Entry 0 File count: 1 1st PV: LABELXYZ1234\n"
                              "    File Entry 0 UniqueID: 0 Hash: "),
            std::string::npos)
      << r.stderrText;
  EXPECT_NE(r.stderrText.find("    Path........... /t/one\n    Relative Pos... 5\n"
                              "    Relative Position Offset... 7\n"),
            std::string::npos);
  EXPECT_NE(r.stderrText.find("quorex_SchedDumpQueue: bad queue type: 7\n"), std::string::npos);
}

TEST(SchedQueue, HashesKeepOnlyTheHighBitsOnceReached) {
  // "/a": (0x2f << 4) + 0x61 = 0x351, mod 131 = 63. "/abcdef" reaches the
  // top bits (0x3...) and keeps 0x30000000 (mod 131 = 112); the "g" after it
  // shifts those out, leaving 0x67 = 103.
  EXPECT_EQ(quorex_HashPathname("/a"), 63u);
  EXPECT_EQ(quorex_HashPathname("/abcdef"), 112u);
  EXPECT_EQ(quorex_HashPathname("/abcdefg"), 103u);
  quoroid_t id{};
  EXPECT_EQ(quorex_HashVVID(&id, 0), 0u);
  EXPECT_LT(quorex_HashVVID(&id, 1), 67u);
}

}  // namespace
