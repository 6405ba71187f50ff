// The gateway's extensions against gwsim: copies between connections,
// stored digests, expiration times and ACL copies.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_files.h"

namespace {

const std::string kUsers = [] {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100);
  return c.text();
}();

const std::string kFiles = [] {
  GwsimConfig c;
  c.dir("/out").set("Uid", 1001).set("Mode", "0755");
  c.file("/src/data").set("Data", "0123456789abcdefghij");
  c.file("/d/f").set("Uid", 1001).set("Data", "abc");
  c.file("/d/g").set("Uid", 1001).set("Data", "def");
  c.file("/a/src").set("ACL", "0x28");
  c.file("/a/s1").set("Uid", 1001).set("ACL", "0x10");
  c.file("/a/s2").set("Uid", 1001).set("ACL", "0x10");
  c.file("/a/s3").set("Uid", 1001).set("ACL", "0x00");
  c.file("/a/s4").set("Uid", 1001).set("ACL", "0x10");
  return c.text();
}();

// A client whose gateway cannot be reached: start-up fails.
void deadEnv() {
  setenv("QUOR_SERVER_HOST", "127.0.0.1/1", 1);
  setenv("QUOR_HOSTNAME", "localhost", 1);
  setenv("QUOR_TEST_TIMESCALE", "1000", 1);
  unsetenv("QUOR_CFG_FILE_PATH");
  unsetenv("QUOR_AUTH_METHOD");
  unsetenv("QUOR_NET_FAMILY");
  unsetenv("QUOR_USE_NETRC_FILE");
  quor_SetCombo("alice", "wonderland");
}

// A sink file opened for writing, or a negative code.
int openSink(const char* path) {
  return quor_Open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644, nullptr, nullptr, nullptr);
}

struct CopyState {
  int rc, error, state;
  uint32_t info;
  uint64_t bytes;
};

CopyState query(uint32_t flags, uint32_t handle, int size = 0, char* msg = nullptr) {
  CopyState s{};
  s.rc = quorex_QueryCopy(flags, handle, size, &s.error, &s.state, &s.info, &s.bytes, msg);
  return s;
}

}  // namespace

// ---- copies between connections ----

// The copy's request as journalled, and its listen addresses: the data
// itself is pushed by another gateway's movers (copy_remote_test.cpp).
TEST(ExtensionsCopy, ACopyAnswersListenAddressesWithItsTransferId) {
  GwsimFixture gw(std::string(kUsers) + kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    int fd = openSink("/out/sink");
    CHILD_CHECK(failures, fd >= 0);
    if (fd < 0) return failures;
    fprintf(stderr, "GWFD=%d\n", qelapi_io_getQUORFd(fd));
    uint32_t count = 4, handle = 77;
    netaddress_t* addrs = nullptr;
    const uint64_t reqid = 0x1122334455667788ULL;
    CHILD_EQ(failures,
             quorex_CopyRemoteFile(0, &count, fd, reqid, 5, 20, "/src/data", &handle, &addrs), 0);
    CHILD_EQ(failures, count, 4);
    CHILD_CHECK(failures, handle != 0 && addrs != nullptr);
    for (uint32_t i = 0; addrs && i < count; i++) {
      CHILD_EQ(failures, addrs[i].SockTransferID, reqid);
      CHILD_EQ(failures, addrs[i].SockAddr.hs_addrlen, 16);
      // Each address listens.
      int s = socket(AF_INET, SOCK_STREAM, 0);
      CHILD_EQ(failures, connect(s, reinterpret_cast<sockaddr*>(&addrs[i].SockAddr.hs_addr),
                                 addrs[i].SockAddr.hs_addrlen), 0);
      close(s);
    }
    free(addrs);
    // Nothing arrived yet: the copy is in its first state; a completion
    // notice reports it done with nothing, and is the copy's last word.
    char msg[100];
    CopyState s = query(0, handle, sizeof msg, msg);
    CHILD_EQ(failures, s.rc, 0);
    CHILD_EQ(failures, s.state, 1);
    CHILD_EQ(failures, s.bytes, 0);
    CHILD_CHECK(failures, strstr(msg, "state 1, 0 bytes") != nullptr);
    s = query(5, handle);
    CHILD_EQ(failures, s.rc, 0);
    CHILD_EQ(failures, s.state, 6);
    s = query(0, handle);
    CHILD_EQ(failures, s.rc, -2);
    CHILD_EQ(failures, s.state, 0);
    CHILD_EQ(failures, s.bytes, 0);
    CHILD_EQ(failures, quor_Close(fd), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  size_t at = r.stderrText.find("GWFD=");
  ASSERT_NE(at, std::string::npos);
  int gwfd = atoi(r.stderrText.c_str() + at + 5);
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0800 fn=0x0300",
                       " flags=0 sink=" + std::to_string(gwfd) +
                           " listen=4 reqid=1234605616436508552 offset=5 length=20 path=/src/data"),
            1);
  EXPECT_EQ(countLines(j, "cat=0x0800 fn=0x0301", " flags=5 handle="), 1);
}

TEST(ExtensionsCopy, CancelAbortsOrForgetsACopy) {
  GwsimFixture gw(std::string(kUsers) + kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    int fd = openSink("/out/sink");
    CHILD_CHECK(failures, fd >= 0);
    uint32_t count = 1, handle = 0;
    netaddress_t* addrs = nullptr;
    CHILD_EQ(failures, quorex_CopyRemoteFile(0, &count, fd, 1, 0, 20, "/src/data", &handle, &addrs),
             0);
    free(addrs);
    CHILD_EQ(failures, quorex_CancelCopy(2, handle), 0);  // the user's interrupt
    CopyState s = query(0, handle);
    CHILD_EQ(failures, s.state, 3);
    CHILD_EQ(failures, s.error, -4);
    CHILD_EQ(failures, quorex_CancelCopy(0, handle), 0);
    CHILD_EQ(failures, query(0, handle).rc, -2);
    CHILD_EQ(failures, quorex_CancelCopy(0, handle), -2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0800 fn=0x0302", " flags=2 handle="), 1);
  EXPECT_EQ(countLines(j, "cat=0x0800 fn=0x0302", " flags=0 handle="), 2);
}

TEST(ExtensionsCopy, StateMessageFitsTheCallersBuffer) {
  const std::string info(100, 'I');  // the whole field, no terminator
  GwsimFixture gw(std::string(kUsers) + kFiles + "Copies = {\n Info = " + info +
                  "\n FailAt = 1\n Error = -28\n}\n");
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    int fd = openSink("/out/sink");
    uint32_t count = 2, handle = 0;
    netaddress_t* addrs = nullptr;
    CHILD_EQ(failures, quorex_CopyRemoteFile(0, &count, fd, 1, 0, 20, "/src/data", &handle, &addrs),
             0);
    free(addrs);
    struct Size {
      int size;
      size_t length;  // of the text written; SIZE_MAX: untouched
    };
    const Size sizes[] = {{500, 99},     {100, 99},     {10, 9},       {2, 1},
                          {1, SIZE_MAX}, {0, SIZE_MAX}, {-3, SIZE_MAX}};
    for (const Size& z : sizes) {
      char msg[600];
      memset(msg, 'z', sizeof msg);
      CopyState s = query(0, handle, z.size, msg);
      CHILD_EQ(failures, s.rc, 0);
      if (z.length == SIZE_MAX) {
        CHILD_EQ(failures, msg[0], 'z');
      } else {
        CHILD_EQ(failures, strlen(msg), z.length);
        CHILD_EQ(failures, msg[0], 'I');
        CHILD_EQ(failures, msg[z.length + 1], 'z');  // nothing written past the terminator
      }
    }
    // The configured failure hit this first copy.
    CopyState s = query(0, handle, 0, nullptr);
    CHILD_EQ(failures, s.state, 3);
    CHILD_EQ(failures, s.error, -28);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(ExtensionsCopy, ListenAddressCountsAsTheGatewayAnswers) {
  struct Case {
    int listen;  // Copies ListenCount (-1: as asked)
    uint32_t asked;
    int result;  // 1: success expected, 0: failure expected
    uint32_t count;
  };
  const Case cases[] = {
      {-1, 0, 1, 0},                     // none asked: none given, no array
      {-1, 64, 1, 64}, {-1, 80, 1, 64},  // the gateway gives at most 64
      {3, 8, 1, 3},                      // fewer than asked: the count says how many
      {70, 8, 1, 64},                    // more than the record holds: what fits
  };
  for (const Case& c : cases) {
    std::string copies =
        c.listen >= 0 ? "Copies = {\n ListenCount = " + std::to_string(c.listen) + "\n}\n" : "";
    GwsimFixture gw(std::string(kUsers) + kFiles + copies);
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    ChildResult r = runInChild([&] {
      int failures = 0;
      clientEnvAs(gw, "alice", "wonderland");
      int fd = openSink("/out/sink");
      uint32_t count = c.asked, handle = 99;
      netaddress_t* addrs = reinterpret_cast<netaddress_t*>(&count);
      int rc = quorex_CopyRemoteFile(0, &count, fd, 1, 0, 20, "/src/data", &handle, &addrs);
      if (c.result) {
        CHILD_EQ(failures, rc, 0);
        CHILD_EQ(failures, count, c.count);
        CHILD_CHECK(failures, handle != 0);
        CHILD_CHECK(failures, (addrs == nullptr) == (c.count == 0));
        for (uint32_t i = 0; addrs && i < count; i++)
          CHILD_EQ(failures, addrs[i].SockTransferID, 1);
        free(addrs);
        // The connection goes on after any of these replies.
        CopyState s = query(0, handle, 0, nullptr);
        CHILD_CHECK(failures, s.rc == 0);
      } else {
        CHILD_CHECK(failures, rc < 0);
        CHILD_EQ(failures, handle, 0);
        CHILD_CHECK(failures, addrs == nullptr);
        CHILD_EQ(failures, count, c.asked);
      }
      return failures;
    });
    EXPECT_EQ(r.status, 0) << "listen " << c.listen << " asked " << c.asked << "\n" << r.stderrText;
  }
}

// ---- digests ----

TEST(ExtensionsDigest, StoredDigestsComeBackAsSet) {
  GwsimFixture gw(std::string(kUsers) + kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    quor_file_hash_digest_t d[2];
    memset(d, 0, sizeof d);
    d[0].Flags = QUOR_FILE_HASH_DIGEST_VALID | QUOR_FILE_HASH_SET_BY_USER;
    strcpy(d[0].Creator, "alice");
    d[0].ModifyTime = 1700000000;
    d[0].Type = QUOR_HASH_SHA256;
    for (int i = 0; i < 32; i++) d[0].Buffer[i] = (unsigned char)(i * 7 + 1);
    d[1].Flags = QUOR_FILE_HASH_GENERATED;
    d[1].Type = QUOR_HASH_MD5;
    for (int i = 0; i < 16; i++) d[1].Buffer[i] = (unsigned char)(0xF0 - i);
    quor_file_hash_digest_list_t list = {2, d};
    CHILD_EQ(failures, ozugw_FdigestSetCksum(5, "/d/f", &list, 4096), 0);

    uint32_t flags = 99;
    uint64_t stripe = 0;
    quor_file_hash_digest_list_t out = {7, nullptr};
    CHILD_EQ(failures, ozugw_FdigestGetCksum(0, "/d/f", &flags, &out, &stripe), 0);
    CHILD_EQ(failures, flags, 5);
    CHILD_EQ(failures, stripe, 4096);
    CHILD_EQ(failures, out.List_len, 2);
    if (out.List_len == 2) CHILD_CHECK(failures, memcmp(out.List_val, d, sizeof d) == 0);
    free(out.List_val);

    // A file without digests: the gateway's code, RetFlags 0, an empty list.
    flags = 99;
    out.List_len = 7;
    out.List_val = d;
    CHILD_EQ(failures, ozugw_FdigestGetCksum(0, "/d/g", &flags, &out, &stripe), -2);
    CHILD_EQ(failures, flags, 0);
    CHILD_EQ(failures, out.List_len, 0);
    CHILD_CHECK(failures, out.List_val == nullptr);
    CHILD_EQ(failures, ozugw_FdigestGetCksum(0, "/d/none", &flags, &out, &stripe), -2);
    CHILD_EQ(failures, ozugw_FdigestSetCksum(0, "/d/none", &list, 0), -2);
    // An empty list is stored too, and replaces the old one.
    quor_file_hash_digest_list_t none = {0, nullptr};
    CHILD_EQ(failures, ozugw_FdigestSetCksum(1, "/d/f", &none, 0), 0);
    CHILD_EQ(failures, ozugw_FdigestGetCksum(0, "/d/f", &flags, &out, &stripe), 0);
    CHILD_EQ(failures, flags, 1);
    CHILD_EQ(failures, out.List_len, 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x1800 fn=0x0120", " flags=5 path=/d/f stripe=4096 digests=2"), 1);
  EXPECT_EQ(countLines(j, "cat=0x1800 fn=0x0110", " flags=0 path=/d/g"), 1);
}

TEST(ExtensionsDigest, OutputsAreClearedEvenWhenTheLibraryCannotStart) {
  ChildResult r = runInChild([&] {
    int failures = 0;
    deadEnv();
    uint32_t flags = 99;
    uint64_t stripe = 5;
    quor_file_hash_digest_t d;
    quor_file_hash_digest_list_t out = {3, &d};
    int rc = ozugw_FdigestGetCksum(0, "/d/f", &flags, &out, &stripe);
    CHILD_CHECK(failures, rc < 0 && rc != -14);
    CHILD_EQ(failures, flags, 0);
    CHILD_EQ(failures, out.List_len, 0);
    CHILD_CHECK(failures, out.List_val == nullptr);
    CHILD_EQ(failures, stripe, 5);
    // Output checks come before start-up.
    CHILD_EQ(failures, ozugw_FdigestGetCksum(0, "/d/f", nullptr, &out, &stripe), -14);
    CHILD_EQ(failures, ozugw_FdigestSetCksum(0, nullptr, &out, 0), -14);
    uint32_t count = 1, handle = 5;
    netaddress_t* addrs = nullptr;
    CHILD_EQ(failures, quorex_CopyRemoteFile(0, nullptr, 0, 0, 0, 0, "/x", &handle, &addrs), -14);
    CHILD_EQ(failures, handle, 5);  // before the outputs are touched
    CHILD_EQ(failures, quorex_CopyRemoteFile(0, &count, 0, 0, 0, 0, "/x", nullptr, &addrs), -14);
    handle = 5;
    rc = quorex_CopyRemoteFile(0, &count, 0, 0, 0, 0, "/x", &handle, &addrs);
    CHILD_CHECK(failures, rc < 0 && rc != -14);
    CHILD_EQ(failures, handle, 0);
    int e, st;
    uint32_t info;
    uint64_t bytes;
    CHILD_EQ(failures, quorex_QueryCopy(0, 1, 0, nullptr, &st, &info, &bytes, nullptr), -14);
    CHILD_EQ(failures, quorex_QueryCopy(0, 1, 0, &e, &st, &info, nullptr, nullptr), -14);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// ---- expiration and ACLs ----

TEST(ExtensionsExpiration, ExpirationTimeIsStoredWithTheFile) {
  GwsimFixture gw(std::string(kUsers) + kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    CHILD_EQ(failures, ozugw_UdaSetExpiration("/d/f", 0x100000005ULL), 0);
    CHILD_EQ(failures, ozugw_UdaSetExpiration("/d/none", 1), -2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_EQ(objectColumn(gw, "expiration", "/d/f"), "4294967301");
  EXPECT_EQ(countLines(gw.journalLines(), "cat=0x1700 fn=0x0342", " path=/d/f expire=4294967301"),
            1);
}

TEST(ExtensionsACL, CopiesTheKindsItIsAskedFor) {
  GwsimFixture gw(std::string(kUsers) + kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    CHILD_EQ(failures, quorex_CopyACL(0x08, "/a/src", "/a/s1"), 0);
    CHILD_EQ(failures, quorex_CopyACL(0x10, "/a/src", "/a/s2"), 0);
    CHILD_EQ(failures, quorex_CopyACL(0x20, "/a/src", "/a/s3"), 0);
    CHILD_EQ(failures, quorex_CopyACL(0, "/a/src", "/a/s4"), 0);
    CHILD_EQ(failures, quorex_CopyACL(0, "/a/none", "/a/s4"), -2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  // The source holds 0x08 and 0x20; each sink started with its own bits.
  EXPECT_EQ(objectColumn(gw, "acl", "/a/s1"), "24");  // 0x10 + 0x08
  EXPECT_EQ(objectColumn(gw, "acl", "/a/s2"), "0");   // 0x10 cleared
  EXPECT_EQ(objectColumn(gw, "acl", "/a/s3"), "32");  // 0x20
  EXPECT_EQ(objectColumn(gw, "acl", "/a/s4"), "40");  // all kinds
  EXPECT_EQ(countLines(gw.journalLines(), "cat=0x0800 fn=0x0310", " flags=8 src=/a/src sink=/a/s1"),
            1);
}

// ---- argument checks ----

TEST(ExtensionsChecks, RefusedArgumentsSendNothing) {
  GwsimFixture gw(std::string(kUsers) + kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    qelapi_tcontext_t* ts = nullptr;
    CHILD_EQ(failures, qelapi_init(&ts), 0);
    const std::string p1024 = "/" + std::string(1023, 'p');  // 1024 characters
    const std::string p1025 = p1024 + "q";
    uint32_t count = 1, handle, flags;
    uint64_t stripe;
    netaddress_t* addrs;
    quor_file_hash_digest_list_t list = {0, nullptr};
    quor_file_hash_digest_list_t broken = {2, nullptr};
    struct Refusal {
      const char* what;
      std::function<int()> call;
      int expect;
    };
    const Refusal table[] = {
        {"CopyRemoteFile null path",
         [&] { return quorex_CopyRemoteFile(0, &count, 0, 0, 0, 0, nullptr, &handle, &addrs); },
         -14},
        {"CopyRemoteFile empty path",
         [&] { return quorex_CopyRemoteFile(0, &count, 0, 0, 0, 0, "", &handle, &addrs); }, -2},
        {"CopyRemoteFile 1024-character path",
         [&] {
           return quorex_CopyRemoteFile(0, &count, 0, 0, 0, 0, p1024.c_str(), &handle, &addrs);
         },
         -86},
        {"CopyRemoteFile closed sink",
         [&] { return quorex_CopyRemoteFile(0, &count, 5, 0, 0, 0, "/src/data", &handle, &addrs); },
         -24},
        {"CopyRemoteFile sink out of range",
         [&] {
           return quorex_CopyRemoteFile(0, &count, 250, 0, 0, 0, "/src/data", &handle, &addrs);
         },
         -24},
        {"FdigestGetCksum empty path",
         [&] { return ozugw_FdigestGetCksum(0, "", &flags, &list, &stripe); }, -2},
        {"FdigestGetCksum null path",
         [&] { return ozugw_FdigestGetCksum(0, nullptr, &flags, &list, &stripe); }, -14},
        {"FdigestGetCksum null stripe",
         [&] { return ozugw_FdigestGetCksum(0, "/d/f", &flags, &list, nullptr); }, -14},
        {"FdigestGetCksum 1025-character path",
         [&] { return ozugw_FdigestGetCksum(0, p1025.c_str(), &flags, &list, &stripe); }, -86},
        {"FdigestSetCksum null list", [&] { return ozugw_FdigestSetCksum(0, "/d/f", nullptr, 0); },
         -14},
        {"FdigestSetCksum list without array",
         [&] { return ozugw_FdigestSetCksum(0, "/d/f", &broken, 0); }, -14},
        {"FdigestSetCksum empty path", [&] { return ozugw_FdigestSetCksum(0, "", &list, 0); }, -2},
        {"FdigestSetCksum 1025-character path",
         [&] { return ozugw_FdigestSetCksum(0, p1025.c_str(), &list, 0); }, -86},
        {"UdaSetExpiration null path", [&] { return ozugw_UdaSetExpiration(nullptr, 1); }, -14},
        {"UdaSetExpiration empty path", [&] { return ozugw_UdaSetExpiration("", 1); }, -2},
        {"UdaSetExpiration 1025-character path",
         [&] { return ozugw_UdaSetExpiration(p1025.c_str(), 1); }, -86},
        {"CopyACL null source", [&] { return quorex_CopyACL(0, nullptr, "/a/s1"); }, -14},
        {"CopyACL empty source", [&] { return quorex_CopyACL(0, "", "/a/s1"); }, -2},
        {"CopyACL null sink", [&] { return quorex_CopyACL(0, "/a/src", nullptr); }, -14},
        {"CopyACL empty sink", [&] { return quorex_CopyACL(0, "/a/src", ""); }, -2},
        {"CopyACL empty sink after a long source",
         [&] { return quorex_CopyACL(0, p1024.c_str(), ""); }, -2},
        {"CopyACL 1024-character source", [&] { return quorex_CopyACL(0, p1024.c_str(), "/a/s1"); },
         -86},
        {"CopyACL 1024-character sink", [&] { return quorex_CopyACL(0, "/a/src", p1024.c_str()); },
         -86},
    };
    for (const Refusal& t : table) {
      handle = 9;
      addrs = reinterpret_cast<netaddress_t*>(&count);
      int rc = t.call();
      if (rc != t.expect) {
        fprintf(stderr, "CHECK FAILED %s: %d, wanted %d\n", t.what, rc, t.expect);
        failures++;
      }
      // A refused copy still leaves no handle and no addresses behind.
      if (strncmp(t.what, "CopyRemoteFile", 14) == 0 && (handle != 0 || addrs != nullptr)) {
        fprintf(stderr, "CHECK FAILED %s: outputs not cleared\n", t.what);
        failures++;
      }
    }
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x0800"), 0);
  EXPECT_EQ(countLines(j, "cat=0x1700"), 0);
  EXPECT_EQ(countLines(j, "cat=0x1800"), 0);
}

TEST(ExtensionsChecks, LongestPathsThatFitAreSent) {
  GwsimFixture gw(std::string(kUsers) + kFiles);
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnvAs(gw, "alice", "wonderland");
    const std::string p1023 = "/" + std::string(1022, 'p');
    const std::string p1024 = p1023 + "q";
    uint32_t flags;
    uint64_t stripe;
    quor_file_hash_digest_list_t list = {0, nullptr};
    // No such objects: what matters is that the requests go out whole
    // (the journal below), whatever the gateway answers.
    (void)ozugw_FdigestGetCksum(0, p1024.c_str(), &flags, &list, &stripe);
    free(list.List_val);
    (void)ozugw_UdaSetExpiration(p1024.c_str(), 1);
    (void)quorex_CopyACL(0, p1023.c_str(), "/a/s1");
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  const std::string p1023 = "/" + std::string(1022, 'p');
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "cat=0x1800 fn=0x0110", " path=" + p1023 + "q"), 1);
  EXPECT_EQ(countLines(j, "cat=0x1700 fn=0x0342", " path=" + p1023 + "q expire=1"), 1);
  EXPECT_EQ(countLines(j, "cat=0x0800 fn=0x0310", " src=" + p1023 + " sink=/a/s1"), 1);
}
