// Record streams on storage files against gwsim: text round trips across
// the stream buffer's edges, bytes, lines and items, the stream table and
// mode checks, positions, failed flushes and the EIO retry rule. Each case
// runs the client in a forked child.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "quor_api.h"
#include "quor_api_extensions.h"

namespace {

std::string config(const std::string& faultLines = "") {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  c.dir("/").set("Uid", 1001).set("Mode", "0755");
  if (!faultLines.empty()) c.section("Faults").lines(faultLines);
  return c.text();
}

bool login(const GwsimFixture& gw) { return clientLogin(gw, "alice", "wonderland") == 0; }

// Lines of lengths 0 to 199, numbered, so that many cross the buffer's end.
std::vector<std::string> someLines(int n) {
  std::vector<std::string> v;
  for (int i = 0; i < n; i++) {
    std::string s = std::to_string(i) + ":";
    s.append(size_t((i * 37) % 200), char('a' + i % 26));
    v.push_back(s + "\n");
  }
  return v;
}

std::string joined(const std::vector<std::string>& v) {
  std::string all;
  for (const std::string& s : v) all += s;
  return all;
}

// The whole file through a binary stream.
std::string readAll(const char* path) {
  QUOR_FILE* f = quor_Fopen(path, "rb", nullptr, nullptr, nullptr);
  if (!f) return "open failed";
  std::string out;
  char buf[70000];
  int n;
  while ((n = quor_Fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, size_t(n));
  quor_Fclose(f);
  return out;
}

TEST(FileIO, TextRoundTripAcrossBufferEdges) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  std::vector<std::string> lines = someLines(2600);  // about 260 KB: three buffers
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    QUOR_FILE* f = quor_Fopen("/text", "w", nullptr, nullptr, nullptr);
    CHILD_CHECK(failures, f != nullptr);
    if (!f) return failures;
    for (size_t i = 0; i < lines.size(); i++) {
      if (i % 3 == 0) {
        for (char c : lines[i]) CHILD_EQ(failures, quor_Fputc(c, f) >= 0, 1);
      } else {
        CHILD_EQ(failures, quor_Fputs(lines[i].c_str(), f), int(lines[i].size()));
      }
    }
    CHILD_EQ(failures, quor_Fclose(f), 0);

    f = quor_Fopen("/text", "r", nullptr, nullptr, nullptr);
    CHILD_CHECK(failures, f != nullptr);
    if (!f) return failures;
    char buf[300];
    for (size_t i = 0; i < lines.size(); i++) {
      if (i % 5 == 0) {
        std::string got;
        for (size_t k = 0; k < lines[i].size(); k++) got += char(quor_Fgetc(f));
        CHILD_CHECK(failures, got == lines[i]);
      } else {
        char* p = quor_Fgets(buf, sizeof buf, f);
        CHILD_CHECK(failures, p == buf && lines[i] == buf);
      }
    }
    CHILD_EQ(failures, quor_Feof(f), 0);
    CHILD_CHECK(failures, quor_Fgets(buf, sizeof buf, f) == nullptr);
    CHILD_EQ(failures, quor_Feof(f), 1);
    CHILD_EQ(failures, quor_Fgetc(f), -1);
    CHILD_EQ(failures, quor_Ferror(f), 0);
    CHILD_EQ(failures, quor_Fclose(f), 0);
    CHILD_CHECK(failures, readAll("/text") == joined(lines));
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(readFile(gw.rootDir() + "/text"), joined(lines));
}

TEST(FileIO, BytesLinesAndTheEndOfTheFile) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    QUOR_FILE* f = quor_Fopen("/bytes", "wb", nullptr, nullptr, nullptr);
    const char data[] = "ab\xff\ncd";
    CHILD_EQ(failures, quor_Fwrite(data, 1, 6, f), 6);
    errno = 0;
    CHILD_EQ(failures, quor_Fputc('x', f), -1);  // binary streams take no characters
    CHILD_EQ(failures, errno, EBADF);
    CHILD_EQ(failures, quor_Fgetc(f), -1);
    CHILD_EQ(failures, quor_Fclose(f), 0);

    f = quor_Fopen("/bytes", "r", nullptr, nullptr, nullptr);
    CHILD_EQ(failures, quor_Fgetc(f), 'a');
    CHILD_EQ(failures, quor_Fgetc(f), 'b');
    CHILD_EQ(failures, quor_Fgetc(f), 255);  // data, not the end of the file
    CHILD_EQ(failures, quor_Fgetc(f), '\n');
    char buf[16];
    CHILD_CHECK(failures, quor_Fgets(buf, 1, f) == nullptr);
    CHILD_CHECK(failures, quor_Fgets(buf, sizeof buf, f) == buf && strcmp(buf, "cd") == 0);
    CHILD_CHECK(failures, quor_Fgets(buf, sizeof buf, f) == nullptr);
    CHILD_EQ(failures, quor_Feof(f), 1);
    // A line longer than the caller's buffer comes in pieces.
    CHILD_EQ(failures, quor_Rewind(f), 0);
    CHILD_EQ(failures, quor_Feof(f), 0);
    CHILD_CHECK(failures, quor_Fgets(buf, 3, f) == buf && strcmp(buf, "ab") == 0);
    CHILD_CHECK(failures, quor_Fgets(buf, 3, f) == buf && strcmp(buf, "\xff\n") == 0);
    CHILD_EQ(failures, quor_Fclose(f), 0);

    // Ten bytes read as items of four: two items and a warning.
    f = quor_Fopen("/ten", "wb", nullptr, nullptr, nullptr);
    CHILD_EQ(failures, quor_Fwrite("0123456789", 10, 1, f), 1);
    CHILD_EQ(failures, quor_Fclose(f), 0);
    f = quor_Fopen("/ten", "rb", nullptr, nullptr, nullptr);
    char items[12];
    CHILD_EQ(failures, quor_Fread(items, 4, 3, f), 2);
    CHILD_EQ(failures, quor_Fread(items, 4, 3, f), 0);
    CHILD_EQ(failures, quor_Fread(items, 0, 3, f), -1);
    CHILD_EQ(failures, errno, EFAULT);
    CHILD_EQ(failures, quor_Fclose(f), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("*** Warning: quor_Fread: partial item read. \n"
                              "    Item size: 4 Requested Count: 3 Number read: 2 Partial byte count: 2\n"),
            std::string::npos)
      << r.stderrText;
}

TEST(FileIO, TheTableModesAndStalePointers) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    QUOR_FILE* f = quor_Fopen("/m", "w", nullptr, nullptr, nullptr);
    CHILD_EQ(failures, quor_Fclose(f), 0);
    errno = 0;
    CHILD_CHECK(failures, quor_Fopen("/m", "rw", nullptr, nullptr, nullptr) == nullptr);
    CHILD_EQ(failures, errno, EINVAL);
    CHILD_CHECK(failures, quor_Fopen("/missing", "r", nullptr, nullptr, nullptr) == nullptr);
    CHILD_EQ(failures, errno, 2);
    std::vector<QUOR_FILE*> open;
    for (int i = 0; i < QUOR_FOPEN_MAX; i++) {
      QUOR_FILE* s = quor_Fopen("/m", i % 2 ? "r" : "rb", nullptr, nullptr, nullptr);
      CHILD_CHECK(failures, s != nullptr);
      open.push_back(s);
    }
    CHILD_CHECK(failures, quor_Fopen("/m", "r", nullptr, nullptr, nullptr) == nullptr);
    CHILD_EQ(failures, errno, EAGAIN);
    for (QUOR_FILE* s : open) CHILD_EQ(failures, quor_Fclose(s), 0);
    // A closed stream, a pointer into the middle of one and a foreign one.
    QUOR_FILE foreign;
    memset(&foreign, 0, sizeof foreign);
    foreign._flags = QUOR_FILE_INUSE;
    for (QUOR_FILE* bad : {open[0], reinterpret_cast<QUOR_FILE*>(reinterpret_cast<char*>(open[1]) + 4),
                           &foreign, static_cast<QUOR_FILE*>(nullptr)}) {
      errno = 0;
      CHILD_EQ(failures, quor_Fclose(bad), -1);
      CHILD_EQ(failures, errno, EBADF);
      char buf[4];
      CHILD_CHECK(failures, quor_Fgets(buf, 4, bad) == nullptr);
      CHILD_EQ(failures, errno, EBADF);
    }
    CHILD_EQ(failures, quor_Fflush(nullptr), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(FileIO, PositionsFollowTheCallerThroughTheBuffer) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    QUOR_FILE* f = quor_Fopen("/pos", "w+", nullptr, nullptr, nullptr);
    CHILD_EQ(failures, quor_Fputs("0123456789", f), 10);
    CHILD_EQ(failures, quor_Ftell(f), 10);  // still buffered
    CHILD_EQ(failures, quor_Fseek(f, 2, SEEK_SET), 0);
    CHILD_EQ(failures, quor_Fgetc(f), '2');
    CHILD_EQ(failures, quor_Ftell(f), 3);
    CHILD_EQ(failures, quor_Fseek(f, -1, SEEK_CUR), 0);
    CHILD_EQ(failures, quor_Fgetc(f), '2');
    quor_fpos_t at = -1;
    CHILD_EQ(failures, quor_Fgetpos(f, &at), 0);
    CHILD_EQ(failures, at, 3);
    CHILD_EQ(failures, quor_Fgetc(f), '3');
    // Writing after reading lands where the caller is.
    CHILD_EQ(failures, quor_Fputs("XY", f), 2);
    CHILD_EQ(failures, quor_Ftell(f), 6);
    CHILD_EQ(failures, quor_Fsetpos(f, &at), 0);
    CHILD_EQ(failures, quor_Fgetc(f), '3');
    CHILD_EQ(failures, quor_Fseek(f, 0, SEEK_END), 0);
    CHILD_EQ(failures, quor_Ftell(f), 10);
    CHILD_EQ(failures, quor_Fgetc(f), -1);
    CHILD_EQ(failures, quor_Feof(f), 1);
    CHILD_EQ(failures, quor_Fseek(f, 0, 7), -1);
    CHILD_EQ(failures, errno, EINVAL);
    CHILD_EQ(failures, quor_Fseek(f, 0, SEEK_SET), 0);
    CHILD_EQ(failures, quor_Feof(f), 0);
    CHILD_EQ(failures, quor_Fclose(f), 0);
    CHILD_CHECK(failures, readAll("/pos") == "0123XY6789");
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(FileIO, AFullBufferGoesOutAndTheRestWaitsForTheClose) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    std::string s(QUOR_FILE_BUFSIZE + QUOR_FILE_BUFSIZE / 2, 'q');
    QUOR_FILE* f = quor_Fopen("/half", "w", nullptr, nullptr, nullptr);
    CHILD_EQ(failures, quor_Fputs(s.c_str(), f), int(s.size()));
    CHILD_EQ(failures, quor_Fclose(f), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto writes = linesWith(gw.journalLines(), "fn=0x1701");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_NE(writes[0].find(" len=102400"), std::string::npos) << writes[0];
  EXPECT_NE(writes[1].find(" len=51200"), std::string::npos) << writes[1];
}

TEST(FileIO, FailedWritesAreReportedAndNothingAcceptedIsLost) {
  // The first two list writes fail.
  GwsimFixture gw(config("  Error = 0x0500 0x1701 1 -28\n  Error = 0x0500 0x1701 2 -28"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    // A close whose flush fails says so.
    QUOR_FILE* f = quor_Fopen("/lost", "w", nullptr, nullptr, nullptr);
    CHILD_EQ(failures, quor_Fputs("short line\n", f), 11);
    errno = 0;
    CHILD_EQ(failures, quor_Fclose(f), -1);
    CHILD_EQ(failures, errno, EIO);
    // A put whose flush fails keeps what it could not write; the next
    // flush writes it.
    std::string s(QUOR_FILE_BUFSIZE + 10, 'z');
    f = quor_Fopen("/kept", "w", nullptr, nullptr, nullptr);
    CHILD_EQ(failures, quor_Fputs(s.c_str(), f), -1);
    CHILD_EQ(failures, quor_Ferror(f), 1);
    CHILD_EQ(failures, quor_Fflush(f), 0);
    CHILD_EQ(failures, quor_Fclose(f), 0);
    CHILD_EQ(failures, readAll("/kept").size(), QUOR_FILE_BUFSIZE);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("*** error flushing data for quor file. tried to write 11, wrote 0\n"),
            std::string::npos)
      << r.stderrText;
}

TEST(FileIO, AnIOErrorIsRetriedThroughTheTimeSeam) {
  GwsimFixture gw(config("  Error = 0x0500 0x1207 1 -5\n  Error = 0x0500 0x0F00 2 -5"));
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (!login(gw)) return 1;
    QUOR_FILE* f = quor_Fopen("/eio", "w", nullptr, nullptr, nullptr);  // open 1
    CHILD_EQ(failures, quor_Fputs("one\ntwo\n", f), 8);
    CHILD_EQ(failures, quor_Fclose(f), 0);
    f = quor_Fopen("/eio", "r", nullptr, nullptr, nullptr);  // open 2 fails once
    CHILD_CHECK(failures, f != nullptr);
    char buf[16];
    CHILD_CHECK(failures, f && quor_Fgets(buf, sizeof buf, f) == buf && strcmp(buf, "one\n") == 0);
    CHILD_EQ(failures, quor_Fclose(f), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(countText(r.stderrText, "QUOR EIO error, will retry in 10 seconds\n"), 2) << r.stderrText;
  EXPECT_EQ(countText(r.stderrText, "QUOR recovered from EIO error after retry\n"), 2);
}

}  // namespace
