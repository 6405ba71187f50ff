// Library debug log: configuration from the environment, line formats,
// sinks, the entry trace and message-header tracing.
#include <arpa/inet.h>
#include <ctype.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "journal_text.h"
#include "quor_api_internal.h"
#include "scoped_env.h"
#include "temp_dir.h"

namespace {

const char* const LOG_VARS[] = {"QUOR_API_DEBUG", "QUOR_API_DEBUG_FLAGS", "QUOR_API_DEBUG_PATH"};

void tracedEntryPoint(void) { QEL_TRACE_ENTRY(); }

// Shapes: literal text with these class markers, matched over the whole
// string. (std::regex trips -Werror in sanitizer builds of libstdc++.)
const std::string DIGIT = "\x01";
const std::string UPPER = "\x02";
const std::string LOWER = "\x03";
const std::string DIGIT_OR_BLANK = "\x04";
const std::string SIGN = "\x05";

bool shapeMatch(const std::string& s, const std::string& shape) {
  if (s.size() != shape.size()) return false;
  for (size_t i = 0; i < s.size(); i++) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    bool ok;
    switch (shape[i]) {
      case '\x01': ok = isdigit(c); break;
      case '\x02': ok = isupper(c); break;
      case '\x03': ok = islower(c); break;
      case '\x04': ok = isdigit(c) || c == ' '; break;
      case '\x05': ok = c == '+' || c == '-'; break;
      default: ok = s[i] == shape[i]; break;
    }
    if (!ok) return false;
  }
  return true;
}

// "Mon DD HH:MM:SS"
const std::string STAMP = UPPER + LOWER + LOWER + " " + DIGIT_OR_BLANK + DIGIT + " " + DIGIT +
                          DIGIT + ":" + DIGIT + DIGIT + ":" + DIGIT + DIGIT;
// The time-of-day part of a first line.
const std::string TOD = " " + STAMP + " ";

class DebugLog : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : LOG_VARS) {
      saved_.unset(v);
    }
    qelapi_logging_reset_for_test();
    dir_ = make_temp_dir("debuglog_test");
    ASSERT_FALSE(dir_.empty());
    logPath_ = dir_ + "/api.log";
  }
  void TearDown() override {
    qelapi_logging_reset_for_test();
    unlink(logPath_.c_str());
    rmdir(dir_.c_str());
    saved_.restore();
  }
  // Sets the three variables (null: unset) and reads them.
  void configure(const char* level, const char* flags, const char* path) {
    const char* values[] = {level, flags, path};
    for (int i = 0; i < 3; i++) {
      if (values[i] != nullptr)
        setenv(LOG_VARS[i], values[i], 1);
      else
        unsetenv(LOG_VARS[i]);
    }
    qelapi_logging_init();
  }
  // What the debug file holds once the log lets go of it.
  std::string closedLog() {
    qelapi_logging_reset_for_test();
    return readFile(logPath_);
  }

  ScopedEnv saved_;
  std::string dir_;
  std::string logPath_;
};

TEST_F(DebugLog, WithoutVariablesOnlyErrorsGoToStandardError) {
  configure(nullptr, nullptr, nullptr);
  EXPECT_EQ(qelapi_logging_level, 8);
  EXPECT_EQ(qelapi_logging_flags, QEL_LOG_STDERR);

  testing::internal::CaptureStderr();
  qelapi_logmsg(3, "quor_Open", "open failed", 7, "api_open.cpp", 42);
  for (int prio : {0, 2, 6, 7}) qelapi_logmsg(prio, "quor_Open", "quiet", 7, "api_open.cpp", 43);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(
      shapeMatch(err, TOD + "Function: quor_Open  File: api_open.cpp  Line: 42 msg: open failed"))
      << err;
}

TEST_F(DebugLog, LevelTakesEffectOnlyWithADebugFile) {
  configure("255", "T", nullptr);
  EXPECT_EQ(qelapi_logging_level, 8);
  qelapi_logging_reset_for_test();
  configure("0", "T", nullptr);
  EXPECT_EQ(qelapi_logging_level, 8);
  testing::internal::CaptureStderr();
  qelapi_logmsg(3, "f", "e", 2, "s", 1);
  qelapi_logmsg(7, "f", "t", 2, "s", 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Function: f  File: s  Line: 1 msg: e");

  qelapi_logging_reset_for_test();
  configure("5", "T", logPath_.c_str());  // priorities 0 and 2
  EXPECT_EQ(qelapi_logging_level, 5);
  EXPECT_EQ(qelapi_logging_flags, QEL_LOG_STDERR | QEL_LOG_FILE);
  testing::internal::CaptureStderr();
  qelapi_logmsg(0, "f", "zero", 6, "s", 10);
  qelapi_logmsg(2, "f", "two", 6, "s", 12);
  qelapi_logmsg(3, "f", "three", 6, "s", 13);
  qelapi_logmsg(7, "f", "seven", 6, "s", 17);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Function: f  File: s  Line: 10 msg: zeroFunction: f  File: s  Line: 12 msg: two");
  EXPECT_EQ(closedLog(),
            "Function: f  File: s  Line: 10 \nmsg: zero\n"
            "Function: f  File: s  Line: 12 \nmsg: two\n");
}

TEST_F(DebugLog, EntryTraceNeedsBit0x8000AndBit7) {
  configure("32896", "T", logPath_.c_str());  // 0x8080
  testing::internal::CaptureStderr();
  const int line = __LINE__ + 1;
  tracedEntryPoint();
  const std::string err = testing::internal::GetCapturedStderr();
  // The call site is inside tracedEntryPoint, above this test.
  const std::string errFirst = err.substr(0, err.find("msg: "));
  const std::string head = "Function: tracedEntryPoint  File: ";
  const std::string mid = "debuglog_test.cpp  Line: ";
  const size_t at = errFirst.find(mid);
  ASSERT_EQ(errFirst.rfind(head, 0), 0u) << err;
  ASSERT_NE(at, std::string::npos) << err;
  ASSERT_EQ(errFirst.back(), ' ') << err;
  const std::string number = errFirst.substr(at + mid.size(), errFirst.size() - 1 - at - mid.size());
  ASSERT_FALSE(number.empty());
  ASSERT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << err;
  EXPECT_LT(std::stoi(number), line);
  EXPECT_EQ(err, errFirst + "msg: Entering function\n");
  EXPECT_EQ(closedLog(), errFirst + "\nmsg: Entering function\n\n");

  // Bit 0x8000 without bit 7, and bit 7 without 0x8000: nothing.
  for (const char* level : {"32768", "128"}) {
    qelapi_logging_reset_for_test();
    unlink(logPath_.c_str());
    configure(level, "T", logPath_.c_str());
    testing::internal::CaptureStderr();
    tracedEntryPoint();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << level;
    EXPECT_EQ(closedLog(), "") << level;
  }
}

TEST_F(DebugLog, FlagLettersShapeTheFirstLine) {
  const std::string pid = "[" + std::to_string(getpid()) + "] ";
  const std::string elapsed = DIGIT + "." + DIGIT + DIGIT + DIGIT + DIGIT + "e" + SIGN + DIGIT + DIGIT + " ";
  const std::string tail = "Function: fn  File: f.c  Line: 7 msg: x";
  struct {
    const char* letters;
    std::string pattern;
  } cases[] = {
      {"", TOD + tail},
      {"t", TOD + tail},
      {"T", tail},
      {"p", pid + TOD + tail},
      {"pt", pid + TOD + tail},
      {"pT", pid + tail},
      {"Tr", elapsed + tail},
      {"pr", pid + TOD + elapsed + tail},
      {"TrR", tail},
      {"TtT", tail},
      {"Tt", TOD + tail},
      {"T?x-Z9", tail},
  };
  for (const auto& c : cases) {
    qelapi_logging_reset_for_test();
    configure(nullptr, c.letters, nullptr);
    testing::internal::CaptureStderr();
    qelapi_logmsg(3, "fn", "x", 2, "f.c", 7);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(shapeMatch(err, c.pattern))
        << "letters \"" << c.letters << "\": " << err;
  }
}

TEST_F(DebugLog, TraceAndFlushLettersSetSinkFlags) {
  struct {
    const char* letters;
    int flags;
  } cases[] = {
      {"", QEL_LOG_STDERR | QEL_LOG_FILE},
      {"m", QEL_LOG_STDERR | QEL_LOG_FILE | QEL_LOG_MSGTRACE},
      {"f", QEL_LOG_STDERR | QEL_LOG_FILE | 0x8000},
      {"mfp", QEL_LOG_STDERR | QEL_LOG_FILE | QEL_LOG_MSGTRACE | 0x8000},
  };
  for (const auto& c : cases) {
    qelapi_logging_reset_for_test();
    configure("8", c.letters, logPath_.c_str());
    EXPECT_EQ(qelapi_logging_flags, c.flags) << c.letters;
  }
}

TEST_F(DebugLog, FlushLetterMakesEachEntryVisibleAtOnce) {
  configure("8", "T", logPath_.c_str());
  qelapi_logmsg(3, "fn", "buffered", 4, "s", 1);
  EXPECT_EQ(readFile(logPath_), "");  // still in the stream's buffer
  EXPECT_EQ(closedLog(), "Function: fn  File: s  Line: 1 \nmsg: buffered\n");

  configure("8", "Tf", logPath_.c_str());
  qelapi_logmsg(3, "fn", "flushed", 4, "s", 2);
  EXPECT_EQ(readFile(logPath_),
            "Function: fn  File: s  Line: 1 \nmsg: buffered\n"
            "Function: fn  File: s  Line: 2 \nmsg: flushed\n");
}

TEST_F(DebugLog, OpenModeAppendsOrEmpties) {
  struct {
    const char* letters;
    bool keepsOld;
  } cases[] = {{"T", true}, {"Ta", true}, {"Tw", false}, {"Twa", true}, {"Taw", false}};
  for (const auto& c : cases) {
    {
      std::ofstream out(logPath_, std::ios::trunc);
      out << "old\n";
    }
    qelapi_logging_reset_for_test();
    configure("8", c.letters, logPath_.c_str());
    qelapi_logmsg(3, "fn", "new", 4, "s", 1);
    const std::string entry = "Function: fn  File: s  Line: 1 \nmsg: new\n";
    EXPECT_EQ(closedLog(), (c.keepsOld ? "old\n" : "") + entry) << c.letters;
  }
}

TEST_F(DebugLog, StandardStreamsAsDebugFile) {
  // Capitals: standard error is both sinks, so each entry appears twice.
  configure("8", "T", "STDERR");
  testing::internal::CaptureStderr();
  qelapi_logmsg(3, "fn", "twice", 6, "s", 5);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Function: fn  File: s  Line: 5 Function: fn  File: s  Line: 5 \n"
            "msg: twicemsg: twice\n");

  qelapi_logging_reset_for_test();
  configure("8", "T", "StdOut");
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  qelapi_logmsg(3, "fn", "split", 6, "s", 6);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Function: fn  File: s  Line: 6 \nmsg: split\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Function: fn  File: s  Line: 6 msg: split");
  qelapi_logging_reset_for_test();  // standard output must stay open
  EXPECT_NE(fflush(stdout), EOF);
}

TEST_F(DebugLog, UnopenableFileSilencesTheLog) {
  const std::string bad = dir_ + "/missing/dir/api.log";
  testing::internal::CaptureStderr();
  configure("255", "m", bad.c_str());
  for (int prio = 0; prio < 32; prio++) qelapi_logmsg(prio, "fn", "lost", 6, "s", 1);
  qelapi_logf(3, "fn", "s", 1, "%s", "lost");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "qelapi_logging_init: unable to open debug logfile " + bad + " - logging disabled\n");
  EXPECT_EQ(qelapi_logging_level, 0);
  EXPECT_EQ(qelapi_logging_flags, 0);
}

TEST_F(DebugLog, OnlyTheFirstInitReadsTheEnvironment) {
  configure("5", "T", logPath_.c_str());
  setenv("QUOR_API_DEBUG", "255", 1);
  unsetenv("QUOR_API_DEBUG_PATH");
  qelapi_logging_init();
  EXPECT_EQ(qelapi_logging_level, 5);
  EXPECT_EQ(qelapi_logging_flags, QEL_LOG_STDERR | QEL_LOG_FILE);
}

TEST_F(DebugLog, SinksAreThoseOfBothConfigurationAndCall) {
  configure("8", "T", logPath_.c_str());
  testing::internal::CaptureStderr();
  qelapi_logmsg(3, "a", "err-only", QEL_LOG_STDERR, "s", 1);
  qelapi_logmsg(3, "b", "file-only", QEL_LOG_FILE, "s", 2);
  qelapi_logmsg(3, "c", "nowhere", 1 | 8 | 0x10 | 0x8000, "s", 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Function: a  File: s  Line: 1 msg: err-only");
  EXPECT_EQ(closedLog(), "Function: b  File: s  Line: 2 \nmsg: file-only\n");

  // Without a debug file, a file-only entry goes nowhere.
  configure(nullptr, "T", nullptr);
  testing::internal::CaptureStderr();
  qelapi_logmsg(3, "d", "x", QEL_LOG_FILE, "s", 4);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(DebugLog, LongPartsAreCut) {
  configure("8", "T", nullptr);
  const std::string fn(300, 'F');
  const std::string text(600, 'm');
  testing::internal::CaptureStderr();
  qelapi_logmsg(3, fn.c_str(), text.c_str(), 2, "s", 1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, ("Function: " + fn).substr(0, 150) + "msg: " + text.substr(0, 511));

  // The message text is not a format.
  testing::internal::CaptureStderr();
  qelapi_logmsg(3, "f", "100%s %n %d", 2, "s", 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Function: f  File: s  Line: 1 msg: 100%s %n %d");
}

TEST_F(DebugLog, PrintfConvenienceFormatsToBothSinks) {
  configure("8", "T", logPath_.c_str());
  testing::internal::CaptureStderr();
  qelapi_logf(3, "quorex_OpenConnection", "conn.cpp", 99, "connect to %s failed: %d", "gw", -5);
  qelapi_logf(7, "quorex_OpenConnection", "conn.cpp", 100, "%s", "not written");
  const std::string big(3000, 'q');
  qelapi_logf(3, "g", "s", 1, "%s", big.c_str());
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string first =
      "Function: quorex_OpenConnection  File: conn.cpp  Line: 99 msg: connect to gw failed: -5";
  EXPECT_EQ(err, first + "Function: g  File: s  Line: 1 msg: " + big.substr(0, 511));
  EXPECT_EQ(closedLog(),
            "Function: quorex_OpenConnection  File: conn.cpp  Line: 99 \nmsg: connect to gw failed: -5\n"
            "Function: g  File: s  Line: 1 \nmsg: " +
                big.substr(0, 511) + "\n");
}

TEST_F(DebugLog, HeaderTraceGoesToTheFileWhateverTheLevel) {
  configure("0", "m", logPath_.c_str());
  auto conn = std::make_unique<quor_connection_t>();
  snprintf(conn->server_host, sizeof(conn->server_host), "%s", "gw.example.org");
  api_msghdr_t hdr;
  memcpy(hdr.sanity, "API_MSGH", 8);
  hdr.msgRequestID = 0x12345678;
  hdr.msgFlags = 0x80000000u;
  hdr.msgTime = 0;
  hdr.threadID = 0;
  hdr.category = 0x0500;
  hdr.function = 3;
  hdr.errorcode = -5;

  testing::internal::CaptureStderr();
  qelapi_tracemsg_hdr(1, conn.get(), &hdr);

  // Without a host name the connection is named by its address.
  conn->server_host[0] = '\0';
  auto* sin = reinterpret_cast<struct sockaddr_in*>(&conn->server_addr.hs_addr);
  sin->sin_family = AF_INET;
  sin->sin_port = htons(1217);
  inet_pton(AF_INET, "127.0.0.1", &sin->sin_addr);
  conn->server_addr.hs_addrlen = sizeof(*sin);
  hdr.msgRequestID = 0xfffffffe;
  hdr.msgFlags = 0x20000002u;
  hdr.category = 0x1800;
  hdr.function = 0x11;
  hdr.errorcode = 0;
  qelapi_tracemsg_hdr(0, conn.get(), &hdr);
  qelapi_tracemsg_data(0, conn.get(), &hdr, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  const std::string stamp = STAMP + "." + DIGIT + DIGIT + DIGIT + " ";
  const std::string expected =
      stamp +
      "Outbound message Request ID: 305419896 [0x12345678] Connection: gw.example.org "
      "Sanity: API_MSGH\n"
      "Flags:  0x80000000  Category: 1280 [0x0500]  Function: 3 [0x0003] Errorcode: -5\n" +
      stamp +
      "Inbound message Request ID: -2 [0xfffffffe] Connection: 127.0.0.1.1217 "
      "Sanity: API_MSGH\n"
      "Flags:  0x20000002  Category: 6144 [0x1800]  Function: 17 [0x0011] Errorcode: 0\n";
  const std::string log = closedLog();
  EXPECT_TRUE(shapeMatch(log, expected)) << log;

  // No debug file: nothing anywhere.
  configure("255", "m", nullptr);
  testing::internal::CaptureStderr();
  qelapi_tracemsg_hdr(1, conn.get(), &hdr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(DebugLog, ConcurrentEntriesKeepTheirLinePairs) {
  configure("8", "pT", logPath_.c_str());
  constexpr int THREADS = 8;
  constexpr int EACH = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; t++) {
    threads.emplace_back([t] {
      for (int i = 0; i < EACH; i++) {
        const std::string tag = std::to_string(t) + "_" + std::to_string(i);
        qelapi_logmsg(3, ("fn" + tag).c_str(), ("text" + tag).c_str(), QEL_LOG_FILE, "s", i);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::istringstream in(closedLog());
  std::string first;
  std::string msg;
  int pairs = 0;
  const std::string head = "[" + std::to_string(getpid()) + "] Function: fn";
  while (std::getline(in, first)) {
    ASSERT_TRUE(std::getline(in, msg));
    ASSERT_EQ(first.rfind(head, 0), 0u) << first;
    const size_t end = first.find("  File: s  Line: ");
    ASSERT_NE(end, std::string::npos) << first;
    const std::string tag = first.substr(head.size(), end - head.size());
    ASSERT_EQ(first, head + tag + "  File: s  Line: " + tag.substr(tag.find('_') + 1) + " ");
    ASSERT_EQ(msg, "msg: text" + tag);
    pairs++;
  }
  EXPECT_EQ(pairs, THREADS * EACH);
}

}  // namespace
