// The stage scheduler against the gateway simulator: files lying on tape
// volumes are recalled volume by volume in tape order and handed over once
// each, within the per-volume limit, through busy answers, lost requests,
// lost, duplicate, stray and reordered reports; sessions ended early and
// background sessions clean up after themselves. Each case runs the client
// in a forked child; the journal tells what the client asked for and when.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_sched_internal.h"
#include "quor_scheduler.h"

namespace {

struct FileSpec {
  std::string path;
  std::string tape;  // "VOL:POS", empty for a file on disk
};

std::string configFor(const std::vector<FileSpec>& files, const std::string& recallLines,
                      const std::string& faultLines = "") {
  GwsimConfig c;
  c.server().set("StageDelay", 20);
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  c.dir("/").set("Uid", 1001).set("Mode", "0755");
  std::set<std::string> dirs;
  for (const FileSpec& f : files) {
    std::string d = f.path.substr(0, f.path.rfind('/'));
    if (!d.empty() && dirs.insert(d).second) c.dir(d).set("Uid", 1001).set("Mode", "0755");
  }
  for (const FileSpec& f : files) {
    GwsimBlock& file = c.file(f.path).set("Size", 100).set("Uid", 1001).set("Mode", "0644");
    if (!f.tape.empty()) file.set("Tape", f.tape);
  }
  c.section("Recall").lines(recallLines);
  if (!faultLines.empty()) c.section("Faults").lines(faultLines);
  return c.text();
}

qelapi_tcontext_t* loggedIn(const GwsimFixture& gw) {
  qelapi_tcontext_t* ts = nullptr;
  return clientLogin(gw, "alice", "wonderland", &ts) == 0 ? ts : nullptr;
}

// Queues the files in the order given: the number of failures.
int queueAll(const std::vector<FileSpec>& files, std::map<std::string, quor_sched_handle_t>* handles = nullptr) {
  int failures = 0;
  CHILD_EQ(failures, quorex_SchedInitQueue(0), 0);
  for (const FileSpec& f : files) {
    quor_sched_handle_t h;
    int res = -1;
    CHILD_EQ(failures, quorex_SchedAddFile(f.path.c_str(), nullptr, &res, &h, nullptr, nullptr), 0);
    CHILD_EQ(failures, res, f.tape.empty() ? 0 : 1);
    if (handles) (*handles)[f.path] = h;
  }
  CHILD_EQ(failures, quorex_SchedSortQueue(), 0);
  return failures;
}

// Takes files until the scheduler says nothing is left (or 20 s pass):
// their paths in hand-over order.
std::vector<std::string> drain(int* lastRc, int limit = 1000) {
  std::vector<std::string> got;
  for (int waited = 0; waited < 10000 && int(got.size()) < limit;) {
    char* path = nullptr;
    quor_sched_handle_t h;
    int rc = quorex_GetNextStagedFile(&path, &h);
    *lastRc = rc;
    if (rc == 0) {
      got.push_back(path);
      free(path);
    } else if (rc == -11) {
      usleep(2000);
      waited++;
    } else {
      break;
    }
  }
  return got;
}

std::vector<std::string> pathsOf(const std::vector<FileSpec>& files) {
  std::vector<std::string> p;
  for (const FileSpec& f : files) p.push_back(f.path);
  return p;
}

std::string field(const std::string& line, const std::string& key) {
  size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  size_t end = line.find(' ', at);
  return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The most requests the gateway held at once for one volume, from the
// journal: taken stage requests against finished recalls.
int maxOutstanding(const std::vector<std::string>& journal) {
  std::map<std::string, int> out;
  int most = 0;
  for (const std::string& l : journal) {
    if (l.find("fn=0x130f") != std::string::npos && l.find(" recall=") != std::string::npos) {
      most = std::max(most, ++out[field(l, "recall")]);
    } else if (l.rfind("stage-recalled ", 0) == 0) {
      out[field(l, "volume")]--;
    }
  }
  return most;
}

// The paths of the stage requests the gateway took, in order.
std::vector<std::string> requested(const std::vector<std::string>& journal) {
  std::vector<std::string> p;
  for (const std::string& l : journal)
    if (l.find("fn=0x130f") != std::string::npos && l.find(" recall=") != std::string::npos)
      p.push_back(field(l, "path"));
  return p;
}

// Waits (up to 10 s) for a session handed to the background to end.
bool waitIdle() {
  for (int i = 0; i < 5000 && quorex_SchedSessionIsActive(); i++) usleep(2000);
  return !quorex_SchedSessionIsActive();
}

int sessionStats(sched_stats_t* st) {
  sched_GetStats(st);
  return st->volumes + st->files + st->readyCount + st->stageListCount + st->requestListCount +
         st->slotsBusy + st->stageCount + st->sessionInProgress + st->busyWait;
}

// Three volumes, their files named out of tape order, and two on disk.
const std::vector<FileSpec> kThreeVolumes = {
    {"/v/b7", "VOLB:7"}, {"/v/a3", "VOLA:3"}, {"/v/c2", "VOLC:2"}, {"/v/disk1", ""},
    {"/v/a1", "VOLA:1"}, {"/v/b2", "VOLB:2"}, {"/v/c9", "VOLC:9"}, {"/v/a2", "VOLA:2"},
    {"/v/b4", "VOLB:4"}, {"/v/disk2", ""},    {"/v/c5", "VOLC:5"},
};

TEST(Scheduler, ThreeVolumesComeBackGroupedByVolumeInTapeOrder) {
  GwsimFixture gw(configFor(kThreeVolumes, "  Delay = 15\n  Volume = VOLA 30\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    std::map<std::string, quor_sched_handle_t> handles;
    failures += queueAll(kThreeVolumes, &handles);
    int queued = -1, ready = -1;
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 15, 1, nullptr, nullptr, &queued, &ready), 0);
    CHILD_EQ(failures, queued, 9);
    CHILD_EQ(failures, ready, 2);
    CHILD_EQ(failures, quorex_SchedSessionIsActive(), 1);
    int rc = 0;
    std::vector<std::string> got = drain(&rc);
    CHILD_EQ(failures, rc, -2);
    // Disk files at once, then each volume in the order it was first
    // named, in tape order.
    std::vector<std::string> want = {"/v/disk1", "/v/disk2", "/v/b2", "/v/b4", "/v/b7", "/v/a1",
                                     "/v/a2",    "/v/a3",    "/v/c2", "/v/c5", "/v/c9"};
    CHILD_CHECK(failures, got == want);
    for (size_t i = 0; i < got.size(); i++) fprintf(stderr, "got %s\n", got[i].c_str());
    int status = 0;
    char* path = nullptr;
    CHILD_EQ(failures, quorex_SchedQueryFileStatus(&handles["/v/a2"], &status, &path), 0);
    CHILD_EQ(failures, status, -2);
    free(path);
    CHILD_EQ(failures, quorex_SchedFreeQueue(), 0);
    CHILD_CHECK(failures, waitIdle());
    sched_stats_t st;
    CHILD_EQ(failures, sessionStats(&st), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  std::vector<std::string> wantReq = {"/v/b2", "/v/b4", "/v/b7", "/v/a1", "/v/a2",
                                      "/v/a3", "/v/c2", "/v/c5", "/v/c9"};
  EXPECT_EQ(requested(j), wantReq);
  // One volume at a time: no request for the next before the last recall.
  std::string lastRecalled;
  for (const std::string& l : j) {
    if (l.rfind("stage-recalled ", 0) == 0) lastRecalled = field(l, "path");
    if (l.find("path=/v/a1 ") != std::string::npos && l.find("fn=0x130f") != std::string::npos) {
      EXPECT_EQ(lastRecalled, "/v/b7");
    }
  }
  EXPECT_EQ(countLines(j, "stage-callback", " sent"), 9);
}

TEST(Scheduler, ConcurrentVolumesInterleaveButEachStaysInTapeOrder) {
  GwsimFixture gw(configFor(kThreeVolumes, "  Delay = 10\n  Volume = VOLB 40\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    failures += queueAll(kThreeVolumes);
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 15, 3, nullptr, nullptr, nullptr, nullptr), 0);
    int rc = 0;
    std::vector<std::string> got = drain(&rc);
    CHILD_EQ(failures, rc, -2);
    std::multiset<std::string> all(got.begin(), got.end());
    auto wantAll = pathsOf(kThreeVolumes);
    CHILD_CHECK(failures, all == std::multiset<std::string>(wantAll.begin(), wantAll.end()));
    std::map<char, std::vector<std::string>> perVolume;
    for (const std::string& p : got)
      if (p.find("disk") == std::string::npos) perVolume[p[3]].push_back(p);
    CHILD_CHECK(failures, (perVolume['a'] == std::vector<std::string>{"/v/a1", "/v/a2", "/v/a3"}));
    CHILD_CHECK(failures, (perVolume['b'] == std::vector<std::string>{"/v/b2", "/v/b4", "/v/b7"}));
    CHILD_CHECK(failures, (perVolume['c'] == std::vector<std::string>{"/v/c2", "/v/c5", "/v/c9"}));
    // The slow volume finishes last although it was named first.
    CHILD_CHECK(failures, !got.empty() && got.back() == "/v/b7");
    quorex_SchedFreeQueue();
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

std::vector<FileSpec> oneVolume(int n, const char* vol = "VOL1") {
  std::vector<FileSpec> f;
  for (int i = n; i >= 1; i--)
    f.push_back({"/t/f" + std::to_string(i), std::string(vol) + ":" + std::to_string(i * 10)});
  return f;
}

TEST(Scheduler, PerVolumeLimitBoundsTheOutstandingRequests) {
  auto files = oneVolume(6);
  GwsimFixture gw(configFor(files, "  Delay = 25\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    failures += queueAll(files);
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 2, 1, nullptr, nullptr, nullptr, nullptr), 0);
    int rc = 0;
    std::vector<std::string> got = drain(&rc);
    CHILD_EQ(failures, rc, -2);
    CHILD_EQ(failures, got.size(), 6);
    quorex_SchedFreeQueue();
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(maxOutstanding(j), 2);
  EXPECT_EQ(requested(j).size(), 6u);
}

TEST(Scheduler, FilesAtOnePositionFormOneGroup) {
  // Three files at position 7 count as one stage with grouping on; with a
  // limit of one, they go out together and the file at 9 only after all
  // three are in.
  std::vector<FileSpec> files = {
      {"/g/p9", "VOLG:9"}, {"/g/p7a", "VOLG:7"}, {"/g/p7b", "VOLG:7"}, {"/g/p7c", "VOLG:7"}};
  // The recall is slow enough for all three requests to be out first.
  GwsimFixture gw(configFor(files, "  Delay = 150\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    failures += queueAll(files);
    CHILD_EQ(failures, quorex_SchedInitBGStage(QUOR_SCHED_GROUP_BY_POSITION, 1, 1, nullptr, nullptr,
                                               nullptr, nullptr),
             0);
    int rc = 0;
    std::vector<std::string> got = drain(&rc);
    CHILD_EQ(failures, rc, -2);
    CHILD_EQ(failures, got.size(), 4);
    CHILD_CHECK(failures, !got.empty() && got.back() == "/g/p9");
    quorex_SchedFreeQueue();
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(maxOutstanding(j), 3);
  int recalled = 0;
  for (const std::string& l : j) {
    if (l.rfind("stage-recalled ", 0) == 0) recalled++;
    if (l.find("fn=0x130f") != std::string::npos && l.find("path=/g/p9 ") != std::string::npos) {
      EXPECT_EQ(recalled, 3);
    }
  }
}

TEST(Scheduler, BusyAnswersHoldIssuingBackUntilAStageCompletes) {
  auto files = oneVolume(7);
  GwsimFixture gw(configFor(files, "  Delay = 20\n  Capacity = 2\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    failures += queueAll(files);
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 15, 1, nullptr, nullptr, nullptr, nullptr), 0);
    int rc = 0;
    std::vector<std::string> got = drain(&rc);
    CHILD_EQ(failures, rc, -2);
    CHILD_EQ(failures, std::set<std::string>(got.begin(), got.end()).size(), 7);
    CHILD_EQ(failures, got.size(), 7);
    quorex_SchedFreeQueue();
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  // After a busy answer with requests outstanding the client waits for a
  // completion before it asks again: no more busy answers than completions
  // (asking every cycle would bring about ten per recall).
  int busy = 0, recalled = 0;
  for (const std::string& l : j) {
    if (l.find("fn=0x130f") != std::string::npos && l.find(" busy") != std::string::npos) busy++;
    if (l.rfind("stage-recalled ", 0) == 0) recalled++;
  }
  EXPECT_LE(busy, recalled);
  EXPECT_GE(busy, 1);
  EXPECT_EQ(recalled, 7);
  EXPECT_EQ(requested(j).size(), 7u);
}

TEST(Scheduler, LostRequestsAndLostReportsAreFoundByPolling) {
  // The 2nd request is forgotten (the file stays on tape: asked again), the
  // 3rd recalled without a report (found on disk).
  auto files = oneVolume(4);
  GwsimFixture gw(configFor(files, "  Delay = 20\n  LostRequest = 2\n  LostCallback = 3\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    failures += queueAll(files);
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 15, 1, nullptr, nullptr, nullptr, nullptr), 0);
    int rc = 0;
    std::vector<std::string> got = drain(&rc);
    CHILD_EQ(failures, rc, -2);
    CHILD_EQ(failures, got.size(), 4);
    CHILD_EQ(failures, std::set<std::string>(got.begin(), got.end()).size(), 4);
    quorex_SchedFreeQueue();
    CHILD_CHECK(failures, waitIdle());
    sched_stats_t st;
    CHILD_EQ(failures, sessionStats(&st), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(linesWithAll(j, {"fn=0x130f", "path=/t/f2 ", " forgotten"}).size(), 1u);
  EXPECT_EQ(linesWithAll(j, {"fn=0x130f", "path=/t/f2 ", " recall=VOL1"}).size(), 1u);
  EXPECT_EQ(countLines(j, "stage-callback", " lost"), 1);
  EXPECT_GE(countLines(j, "fn=0x0703"), 2);
}

TEST(Scheduler, DuplicateStrayAndReorderedReportsHandEachFileOverOnce) {
  auto files = oneVolume(5);
  GwsimFixture gw(configFor(files, "  Delay = 15\n  Duplicate = *\n  UnknownId = 1 3\n  OutOfOrder\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    failures += queueAll(files);
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 5, 1, nullptr, nullptr, nullptr, nullptr), 0);
    int rc = 0;
    std::vector<std::string> got = drain(&rc);
    CHILD_EQ(failures, rc, -2);
    CHILD_EQ(failures, got.size(), 5);
    CHILD_EQ(failures, std::set<std::string>(got.begin(), got.end()).size(), 5);
    sched_stats_t st;
    sched_GetStats(&st);
    // Reports that match nothing change no count.
    CHILD_EQ(failures, st.stageCount, 0);
    CHILD_EQ(failures, st.busyWait, 0);
    quorex_SchedFreeQueue();
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "stage-callback", " duplicate"), 5);
  EXPECT_EQ(countLines(j, "stage-callback", " unknown"), 2);
  // The gateway recalled them out of tape order.
  std::vector<std::string> recalled;
  for (const std::string& l : j)
    if (l.rfind("stage-recalled ", 0) == 0) recalled.push_back(field(l, "path"));
  EXPECT_NE(recalled, requested(j));
}

TEST(Scheduler, ALostRequestInAPartlyDoneGroupDoesNotStallTheVolume) {
  // Grouping on, one stage at a time: p7a and p7b form a group; p7a comes
  // in, p7b is forgotten and asked again; p9 must still follow.
  std::vector<FileSpec> files = {{"/g/p9", "VOLG:9"}, {"/g/p7a", "VOLG:7"}, {"/g/p7b", "VOLG:7"}};
  GwsimFixture gw(configFor(files, "  Delay = 15\n  LostRequest = 2\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    failures += queueAll(files);
    CHILD_EQ(failures, quorex_SchedInitBGStage(QUOR_SCHED_GROUP_BY_POSITION, 1, 1, nullptr,
                                               nullptr, nullptr, nullptr),
             0);
    int rc = 0;
    std::vector<std::string> got = drain(&rc);
    CHILD_EQ(failures, rc, -2);
    CHILD_EQ(failures, got.size(), 3);
    quorex_SchedFreeQueue();
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(linesWithAll(gw.journalLines(), {"fn=0x130f", "path=/g/p9 ", " recall="}).size(), 1u);
}

TEST(Scheduler, SessionEndedEarlyFinishesInTheBackgroundAndFreesEverything) {
  auto files = oneVolume(4);
  files.push_back({"/t/disk", ""});
  GwsimFixture gw(configFor(files, "  Delay = 60\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    std::map<std::string, quor_sched_handle_t> handles;
    failures += queueAll(files, &handles);
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 1, 1, nullptr, nullptr, nullptr, nullptr), 0);
    // While it runs: no second session, no more files, no new round.
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 1, 1, nullptr, nullptr, nullptr, nullptr), -16);
    CHILD_EQ(failures, quorex_SchedAddFile("/t/f1", nullptr, nullptr, nullptr, nullptr, nullptr), -6005);
    CHILD_EQ(failures, quorex_SchedInitQueue(0), -6005);
    int status = 0;
    char* path = nullptr;
    CHILD_EQ(failures, quorex_SchedQueryFileStatus(&handles["/t/disk"], &status, &path), 0);
    CHILD_EQ(failures, status, 2);
    free(path);
    // f4 waits behind f1 with one stage at a time.
    CHILD_EQ(failures, quorex_SchedQueryFileStatus(&handles["/t/f4"], &status, &path), 0);
    CHILD_EQ(failures, status, 1);
    CHILD_CHECK(failures, path && strcmp(path, "/t/f4") == 0);
    free(path);
    int rc = 0;
    std::vector<std::string> got = drain(&rc, 2);
    CHILD_EQ(failures, got.size(), 2);
    CHILD_EQ(failures, quorex_SchedFreeQueue(), 0);
    CHILD_EQ(failures, quorex_SchedSessionIsActive(), 1);
    // The next round waits for the background session to end.
    CHILD_EQ(failures, quorex_SchedInitQueue(0), 0);
    CHILD_EQ(failures, quorex_SchedSessionIsActive(), 0);
    sched_stats_t st;
    CHILD_EQ(failures, sessionStats(&st), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // The rest was still recalled.
  EXPECT_EQ(countLines(gw.journalLines(), "stage-recalled"), 4);
}

TEST(Scheduler, BackgroundSessionReportsEachStageAndEnds) {
  auto files = oneVolume(3);
  GwsimFixture gw(configFor(files, "  Delay = 15\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::string messages = gw.dir() + "/messages";
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    failures += queueAll(files);
    FILE* out = fopen(messages.c_str(), "w");
    if (!out) return failures + 1;
    int queued = 0;
    CHILD_EQ(failures, quorex_SchedInitBGStage(QUOR_SCHED_BACKGROUND | QUOR_SCHED_MESSAGES, 0, 0,
                                               nullptr, out, &queued, nullptr),
             0);
    CHILD_EQ(failures, queued, 3);
    CHILD_CHECK(failures, waitIdle());
    sched_stats_t st;
    CHILD_EQ(failures, sessionStats(&st), 0);
    fclose(out);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  std::string text = readFile(messages);
  EXPECT_EQ(countText(text, " STAGE_COMPLETED\tID: "), 3) << text;
  EXPECT_EQ(countText(text, "\tSTATUS: 0\tPATH: \"/t/f1\"\n"), 1) << text;
}

TEST(Scheduler, OneVolumeSessionStagesOnlyThatVolume) {
  GwsimFixture gw(configFor(kThreeVolumes, "  Delay = 10\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    failures += queueAll(kThreeVolumes);
    quoroid_t vol{};
    memcpy(vol.Bytes, "VOLC", 4);
    quoroid_t missing{};
    memcpy(missing.Bytes, "VOLZ", 4);
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 0, 4, &missing, nullptr, nullptr, nullptr), -2);
    int queued = 0, ready = 0;
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 0, 4, &vol, nullptr, &queued, &ready), 0);
    CHILD_EQ(failures, queued, 3);
    CHILD_EQ(failures, ready, 0);
    int rc = 0;
    std::vector<std::string> got = drain(&rc);
    CHILD_EQ(failures, rc, -2);
    CHILD_CHECK(failures, (got == std::vector<std::string>{"/v/c2", "/v/c5", "/v/c9"}));
    quorex_SchedFreeQueue();
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(requested(gw.journalLines()).size(), 3u);
}

TEST(Scheduler, RefusedAndFailedStagesAreHandedOverAtOnce) {
  // -22 (no disk level to stage to) and -5 end a file's stage: the reader
  // meets the failure; the volume is released after its last file.
  auto files = oneVolume(3);
  GwsimFixture gw(configFor(files, "  Delay = 15\n",
                            "  Error = 0x0500 0x130f 1 -22\n  Error = 0x0500 0x130f 2 -5\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    failures += queueAll(files);
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 15, 1, nullptr, nullptr, nullptr, nullptr), 0);
    int rc = 0;
    std::vector<std::string> got = drain(&rc);
    CHILD_EQ(failures, rc, -2);
    CHILD_CHECK(failures, (got == std::vector<std::string>{"/t/f1", "/t/f2", "/t/f3"}));
    quorex_SchedFreeQueue();
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countText(r.stderrText, "*** Background stage failed with error -5 for file /t/f2\n"), 1);
  EXPECT_EQ(countText(r.stderrText, "Background stage failed with error -22"), 0);
}

TEST(Scheduler, StagesGoOnTheConnectionTheFilesWereQueuedFrom) {
  auto files = oneVolume(2);
  GwsimFixture gw(configFor(files, "  Delay = 15\n"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!loggedIn(gw)) return 1;
    int first = quorex_GetCurConHandle();
    int second = -1;
    CHILD_EQ(failures, quor_SetAuthType(QUOR_AUTH_COMBO), 0);
    CHILD_EQ(failures, quor_SetCombo("alice", "wonderland"), 0);
    CHILD_EQ(failures, quorex_SetupConnection("127.0.0.1", nullptr, gw.port(), 0, 0, &second), 0);
    CHILD_EQ(failures, quorex_OpenConnection(second), 0);
    CHILD_EQ(failures, quorex_GetCurConHandle(), second);
    // The scheduler starts while the second is current, the files are
    // queued on the first, and the session starts on the second again.
    CHILD_EQ(failures, quorex_SchedInitQueue(0), 0);
    CHILD_EQ(failures, quorex_SetCurConnection(first, nullptr), 0);
    failures += queueAll(files);
    CHILD_EQ(failures, quorex_SetCurConnection(second, nullptr), 0);
    CHILD_EQ(failures, quorex_SchedInitBGStage(0, 15, 1, nullptr, nullptr, nullptr, nullptr), 0);
    int rc = 0;
    std::vector<std::string> got = drain(&rc);
    CHILD_EQ(failures, got.size(), 2);
    quorex_SchedFreeQueue();
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(linesWithAll(j, {"conn=1 ", "fn=0x130f"}).size(), 2u);
  EXPECT_EQ(linesWithAll(j, {"conn=2 ", "fn=0x130f"}).size(), 0u);
  EXPECT_EQ(linesWithAll(j, {"conn=2 ", "fn=0x0711"}).size(), 0u);
}

}  // namespace
