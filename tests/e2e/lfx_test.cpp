// lfx against the gateway simulator serving a host directory: the
// file-system calls with their permission checks as the logged-in user, and
// transfers inline, over a data connection in both directions of set-up,
// over pooled sockets, and each failure ending in its error with nothing
// left open. A small client-side transfer engine here plays the part of the
// shell's and the archiver's. Each case runs the client in a forked child.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client_env.h"
#include "client_process.h"
#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "msg_lfx.h"
#include "quor_api.h"
#include "quor_api_internal.h"
#include "quor_files.h"
#include "quorclntaddr.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// Under the leak checker: whether memory is lost by now (0 without it).
int leaksFound() {
#if defined(__SANITIZE_ADDRESS__)
  return __lsan_do_recoverable_leak_check();
#else
  return 0;
#endif
}

// alice and bob get real ids: gwsim's checks compare them with the host's
// owners, and without root the files are the test's own.
uint32_t aliceUid() { return geteuid() == 0 ? 1001 : geteuid(); }
uint32_t aliceGid() { return geteuid() == 0 ? 100 : getegid(); }
uint32_t bobUid() { return aliceUid() + 1; }

const uint64_t kInlineMax = 4096;

std::string config(const std::string& extraLines = "") {
  GwsimConfig c;
  c.user("alice", "wonderland")
      .set("Uid", (long long)aliceUid())
      .set("Gid", (long long)aliceGid())
      .set("Groups", (long long)aliceGid())
      .set("Home", "/home/alice");
  c.user("bob", "builder").set("Uid", (long long)bobUid()).set("Gid", (long long)aliceGid() + 1);
  c.section("Lfx")
      .set("Root", "@DIR@/lfx")
      .set("InlineMax", (long long)kInlineMax)
      .set("AcceptMs", 1500)
      .set("IdleMs", 3000)
      .lines(extraLines);
  return c.text();
}

std::string lfxDir(const GwsimFixture& gw) { return gw.dir() + "/lfx"; }

void giveToAlice(const std::string& path) {
  if (geteuid() == 0 && lchown(path.c_str(), aliceUid(), aliceGid()) < 0) perror("lchown");
}

// alice's home on the served tree, made before anyone connects.
void prepareTree(const GwsimFixture& gw) {
  mkdir((lfxDir(gw) + "/home").c_str(), 0755);
  mkdir((lfxDir(gw) + "/home/alice").c_str(), 0755);
  giveToAlice(lfxDir(gw) + "/home/alice");
}

void hostFile(const GwsimFixture& gw, const std::string& rel, const std::string& content,
              mode_t mode) {
  std::string p = lfxDir(gw) + rel;
  std::ofstream(p, std::ios::binary) << content;
  chmod(p.c_str(), mode);
  giveToAlice(p);
}

std::vector<char> pattern(size_t n, unsigned seed = 1) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; i++) v[i] = char((i * 151 + (i >> 10) * 3 + seed) & 0xff);
  return v;
}

int countOpenFds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (readdir(d)) n++;
  closedir(d);
  return n;
}

bool allZero(const void* p, size_t n) {
  const char* c = static_cast<const char*>(p);
  for (size_t i = 0; i < n; i++)
    if (c[i]) return false;
  return true;
}

// ---- a client-side transfer engine ----

enum { LISTEN = 0, CLIENT_CONNECT = 1 };

// Deliberate faults of the client's side.
enum { NONE = 0, FORCE_INLINE, SEND_SHORT, NEVER_CONNECT, DEAD_ADDRESS, BAD_POOL_ID };

typedef struct xfer_client {
  std::map<uint32_t, int> pool;  // connected data sockets by pool id
  uint32_t nextPoolID = 1;
  int accepts = 0;
  int connects = 0;
} xfer_client_t;

typedef struct outcome {
  int init = 1;      // ozugw_LfxInit's result
  int complete = 1;  // ozugw_LfxGetXferReply's (1: not called)
  int32_t status = 1;
  uint64_t bytes = 0;
  int inlined = 0;
} outcome_t;

int acceptWithin(int lfd, int ms) {
  struct pollfd pfd = {lfd, POLLIN, 0};
  if (poll(&pfd, 1, ms) != 1) return -1;
  return accept(lfd, nullptr, nullptr);
}

int connectTo(const quor_sockaddr_t* a) {
  int fd = socket(a->hs_addr.ss_family, SOCK_STREAM, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&a->hs_addr), a->hs_addrlen) < 0) {
    close(fd);
    fd = -1;
  }
  return fd;
}

bool sendAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

size_t recvAll(int fd, char* p, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = recv(fd, p + got, n - got, 0);
    if (r <= 0) break;
    got += size_t(r);
  }
  return got;
}

// One transfer: a get fills *local with what came, a put sends all of it.
outcome_t transfer(xfer_client_t* c, bool get, const char* path, std::vector<char>* local,
                   uint64_t srcOffset, uint64_t sinkOffset, int setup, int fault = NONE,
                   int filedes = -1, const std::function<void()>& beforeCompletion = nullptr,
                   bool collect = true) {
  outcome_t o;
  uint64_t len = get ? local->size() : local->size() - srcOffset;
  ozu_xfer_init_info_t in;
  memset(&in, 0, sizeof in);
  in.xferOperation = get ? 1 : 0;
  strncpy(in.pathName, path, OZU_LFX_PATH_MAX);
  in.fileSize = get ? 0 : int64_t(local->size());
  in.srcOffset = srcOffset;
  in.sinkOffset = sinkOffset;
  in.xferLength = len;
  in.mode = ozugw_LocalModeToInterchangeMode(S_IFREG | 0640);
  in.uid = aliceUid();
  in.gid = aliceGid();
  bool inl = len <= kInlineMax || fault == FORCE_INLINE;
  if (inl && get) in.flags |= 0x40000000u;
  if (inl && !get) {
    in.flags |= OZU_XFER_INLINE_DATA;
    in.fileData = local->data() + srcOffset;
  }
  if (setup == CLIENT_CONNECT) in.flags |= 0x1;
  ozu_sockaddr_info_t offer;
  memset(&offer, 0, sizeof offer);
  int lfd = -1, sock = -1;
  uint32_t poolID = 0;
  if (!inl && setup == LISTEN) {
    if (fault == BAD_POOL_ID) {
      offer.preConnected = 1;
      offer.poolID = 99;
    } else if (!c->pool.empty()) {
      poolID = c->pool.begin()->first;
      sock = c->pool.begin()->second;
      c->pool.erase(c->pool.begin());
      offer.preConnected = 1;
      offer.poolID = poolID;
      offer.socketFD = sock;
    } else {
      if (ozugw_SockGetListenSocket(0, 1, &lfd, &offer.socketAddr) < 0 ||
          quor_net_listen(lfd, 4096, nullptr, 0) < 0)
        return o;
      offer.addressType = 2;
      offer.poolID = poolID = c->nextPoolID++;
      offer.socketFD = lfd;
      // A listener gone before the gateway connects.
      if (fault == DEAD_ADDRESS) {
        close(lfd);
        lfd = -1;
      }
    }
    in.addressCount = 1;
    in.addressList = &offer;
  }
  ozu_xfer_init_reply_t rep;
  o.init = ozugw_LfxInit(filedes, &in, &rep);
  if (o.init < 0) {
    if (lfd >= 0) close(lfd);
    if (sock >= 0) close(sock);
    return o;
  }
  if (inl) {
    o.inlined = 1;
    o.status = rep.xferStatus;
    o.bytes = rep.fileSize;
    if (get) local->assign(rep.fileData, rep.fileData + rep.fileSize);
    xdr_free(reinterpret_cast<xdrproc_t>(qel_xdr_ozu_xfer_init_reply_t),
             reinterpret_cast<char*>(&rep));
    return o;
  }
  if (setup == LISTEN && sock < 0 && lfd >= 0) {
    sock = acceptWithin(lfd, 5000);
    if (sock >= 0) c->accepts++;
  }
  if (lfd >= 0) close(lfd);
  if (setup == CLIENT_CONNECT && rep.addressCount == 1 && fault != NEVER_CONNECT) {
    const ozu_sockaddr_info_t* a = &rep.addressList[0];
    poolID = a->poolID;
    if (a->preConnected && c->pool.count(poolID)) {
      sock = c->pool[poolID];
      c->pool.erase(poolID);
    } else if (!a->preConnected) {
      sock = connectTo(&a->socketAddr);
      if (sock >= 0) c->connects++;
    }
  }
  xdr_free(reinterpret_cast<xdrproc_t>(qel_xdr_ozu_xfer_init_reply_t),
           reinterpret_cast<char*>(&rep));
  bool clean = sock >= 0;
  if (sock >= 0 && get) {
    size_t got = recvAll(sock, local->data(), local->size());
    clean = got == local->size();
    local->resize(got);
  } else if (sock >= 0) {
    size_t n = fault == SEND_SHORT ? size_t(len / 2) : size_t(len);
    clean = sendAll(sock, local->data() + srcOffset, n) && fault != SEND_SHORT;
    if (fault == SEND_SHORT) shutdown(sock, SHUT_WR);
  }
  if (beforeCompletion) beforeCompletion();
  if (!collect) {
    if (sock >= 0) close(sock);
    return o;
  }
  ozu_xfer_complete_t done;
  o.complete = ozugw_LfxGetXferReply(&done);
  o.status = done.xferStatus;
  o.bytes = done.bytesXferred;
  if (o.complete == 0 && o.status == 0 && clean && poolID != 0)
    c->pool[poolID] = sock;
  else if (sock >= 0)
    close(sock);
  return o;
}

void dropPool(xfer_client_t* c) {
  for (auto& p : c->pool) close(p.second);
  c->pool.clear();
}

}  // namespace

// ---- file-system calls ----

TEST(LfxFs, StatLinksAndTheWorkingDirectory) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  prepareTree(gw);
  hostFile(gw, "/home/alice/a", "hello", 0640);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    struct stat64 st;
    CHILD_EQ(failures, ozugw_LfxStat("/home/alice/a", &st), 0);
    CHILD_EQ(failures, st.st_size, 5);
    CHILD_EQ(failures, st.st_mode, S_IFREG | 0640);
    CHILD_EQ(failures, st.st_uid, aliceUid());
    // Relative paths start in the user's home.
    CHILD_EQ(failures, ozugw_LfxStat("a", &st), 0);
    CHILD_EQ(failures, st.st_size, 5);
    CHILD_EQ(failures, ozugw_LfxSymlink("a", "/home/alice/l"), 0);
    CHILD_EQ(failures, ozugw_LfxLstat("l", &st), 0);
    CHILD_CHECK(failures, S_ISLNK(st.st_mode));
    CHILD_EQ(failures, ozugw_LfxStat("l", &st), 0);
    CHILD_EQ(failures, st.st_size, 5);
    char text[16];
    CHILD_EQ(failures, ozugw_LfxReadlink("l", text, sizeof text), 1);
    CHILD_CHECK(failures, strcmp(text, "a") == 0);
    CHILD_EQ(failures, ozugw_LfxReadlink("l", text, 1), -86);
    CHILD_EQ(failures, ozugw_LfxReadlink("a", text, sizeof text), -22);
    CHILD_EQ(failures, ozugw_LfxSymlink("b", "l"), -17);
    // A missing path: the gateway's code and a record all zero.
    memset(&st, 0x5a, sizeof st);
    CHILD_EQ(failures, ozugw_LfxStat("/home/alice/none", &st), -2);
    CHILD_CHECK(failures, allZero(&st, sizeof st));
    // Links stay inside the served tree, however they are written.
    CHILD_EQ(failures, ozugw_LfxSymlink("../../../../../../etc", "up"), 0);
    CHILD_EQ(failures, ozugw_LfxSymlink("/etc/passwd", "abs"), 0);
    CHILD_EQ(failures, ozugw_LfxStat("up/passwd", &st), -2);
    CHILD_EQ(failures, ozugw_LfxStat("abs", &st), -2);
    CHILD_EQ(failures, ozugw_LfxStat("/../../../etc/passwd", &st), -2);
    char cwd[64];
    CHILD_EQ(failures, ozugw_LfxGetcwd(cwd, sizeof cwd), 0);
    CHILD_CHECK(failures, strcmp(cwd, "/home/alice") == 0);
    CHILD_EQ(failures, ozugw_LfxGetcwd(nullptr, 0), -22);
    CHILD_EQ(failures, ozugw_LfxGetcwd(nullptr, 10), -14);
    CHILD_EQ(failures, ozugw_LfxGetcwd(cwd, 11), -34);
    // Paths the record cannot carry never leave; the longest one does.
    std::string tooLong(4096, 'x'), longest(4095, 'x');
    CHILD_EQ(failures, ozugw_LfxStat(tooLong.c_str(), &st), -86);
    CHILD_EQ(failures, ozugw_LfxUnlink(tooLong.c_str()), -86);
    CHILD_CHECK(failures, ozugw_LfxStat(longest.c_str(), &st) < 0);
    CHILD_EQ(failures, ozugw_LfxStat(nullptr, &st), -14);
    CHILD_EQ(failures, ozugw_LfxStat("", &st), -2);
    CHILD_EQ(failures, ozugw_LfxStat("a", nullptr), -14);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0206", "path=xxx"), 1);
  EXPECT_EQ(countLines(j, "fn=0x020f"), 0);
  EXPECT_EQ(countLines(j, "fn=0x020e", "path=/home/alice/l contents=a"), 1);
}

TEST(LfxFs, DirectoriesAndChanges) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  prepareTree(gw);
  hostFile(gw, "/home/alice/f", "x", 0644);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    CHILD_EQ(failures, ozugw_LfxMkdir("d", 0777), 0);
    CHILD_EQ(failures, ozugw_LfxMkdir("d", 0777), -17);
    CHILD_EQ(failures, ozugw_LfxMkdir("/home/alice/no/such", 0777), -2);
    struct stat64 st;
    CHILD_EQ(failures, ozugw_LfxStat("d", &st), 0);
    CHILD_EQ(failures, st.st_mode, S_IFDIR | 0755);  // less the site's mask
    CHILD_EQ(failures, ozugw_lfxChmod("d", 0700), 0);
    CHILD_EQ(failures, ozugw_LfxStat("d", &st), 0);
    CHILD_EQ(failures, st.st_mode & 07777, 0700);
    CHILD_EQ(failures, ozugw_lfxChown("d", uint32_t(-1), aliceGid()), 0);
    // Only root gives files away.
    CHILD_EQ(failures, ozugw_lfxChown("d", bobUid(), uint32_t(-1)), -1);
    CHILD_EQ(failures, ozugw_LfxRename("d", "e"), 0);
    CHILD_EQ(failures, ozugw_LfxStat("d", &st), -2);
    CHILD_EQ(failures, ozugw_LfxUnlink("e"), -21);
    CHILD_EQ(failures, ozugw_LfxUnlink("missing"), -2);

    int dd = ozugw_LfxOpendir("/home/alice");
    CHILD_CHECK(failures, dd >= 0);
    ozu_lfx_attrs_t ents[8];
    int end = 7;
    CHILD_EQ(failures, ozugw_LfxReadattrs(dd, 2, &end, ents), 2);
    CHILD_EQ(failures, end, 0);
    CHILD_CHECK(failures, strcmp(ents[0].Filename, ".") == 0);
    CHILD_CHECK(failures, strcmp(ents[1].Filename, "..") == 0);
    CHILD_EQ(failures, ozugw_LfxReadattrs(dd, 8, &end, ents), 2);
    CHILD_EQ(failures, end, 1);
    CHILD_CHECK(failures, strcmp(ents[0].Filename, "e") == 0);
    CHILD_CHECK(failures, strcmp(ents[1].Filename, "f") == 0);
    CHILD_EQ(failures, ents[0].LfxAttrs.hst_mode, S_IFDIR | 0700);
    CHILD_EQ(failures, ents[1].LfxAttrs.hst_size, 1);
    // A stat record from an entry, as the shell's directory readers take it.
    memset(&st, 0, sizeof st);
    CHILD_EQ(failures, ozugw_LfxStatToStat(&ents[1].LfxAttrs, &st), 0);
    CHILD_EQ(failures, st.st_mode, S_IFREG | 0644);
    CHILD_EQ(failures, ozugw_LfxRewinddir(dd), 0);
    CHILD_EQ(failures, ozugw_LfxReadattrs(dd, 1, &end, ents), 1);
    CHILD_CHECK(failures, strcmp(ents[0].Filename, ".") == 0);
    CHILD_EQ(failures, ozugw_LfxClosedir(dd), 0);
    end = 7;
    CHILD_EQ(failures, ozugw_LfxReadattrs(dd, 1, &end, ents), -9);
    CHILD_EQ(failures, end, 0);
    CHILD_EQ(failures, ozugw_LfxClosedir(dd), -9);
    CHILD_EQ(failures, ozugw_LfxOpendir("f"), -20);
    CHILD_EQ(failures, ozugw_LfxReadattrs(0, 1, &end, nullptr), -14);
    CHILD_EQ(failures, ozugw_LfxReadattrs(0, -1, &end, ents), -22);
    CHILD_EQ(failures, ozugw_LfxUnlink("f"), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  struct stat st;
  EXPECT_EQ(stat((lfxDir(gw) + "/home/alice/e").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, aliceUid());
  EXPECT_NE(stat((lfxDir(gw) + "/home/alice/f").c_str(), &st), 0);
}

TEST(LfxFs, CallsActAsTheLoggedInUser) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  prepareTree(gw);
  hostFile(gw, "/home/alice/secret", "s", 0600);
  mkdir((lfxDir(gw) + "/home/alice/closed").c_str(), 0700);
  giveToAlice(lfxDir(gw) + "/home/alice/closed");
  hostFile(gw, "/home/alice/closed/inner", "i", 0644);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "bob", "builder") != 0) return 1;
    struct stat64 st;
    // Stat needs only the way there.
    CHILD_EQ(failures, ozugw_LfxStat("/home/alice/secret", &st), 0);
    CHILD_EQ(failures, ozugw_LfxStat("/home/alice/closed/inner", &st), -13);
    CHILD_EQ(failures, ozugw_LfxOpendir("/home/alice/closed"), -13);
    CHILD_EQ(failures, ozugw_LfxMkdir("/home/alice/x", 0777), -13);
    CHILD_EQ(failures, ozugw_LfxUnlink("/home/alice/secret"), -13);
    CHILD_EQ(failures, ozugw_LfxRename("/home/alice/secret", "/home/alice/mine"), -13);
    CHILD_EQ(failures, ozugw_lfxChmod("/home/alice/secret", 0666), -1);
    CHILD_EQ(failures, ozugw_LfxSymlink("x", "/home/alice/x"), -13);
    xfer_client_t c;
    std::vector<char> got(1);
    CHILD_EQ(failures, transfer(&c, true, "/home/alice/secret", &got, 0, 0, LISTEN).init, -13);
    std::vector<char> data = pattern(10);
    CHILD_EQ(failures, transfer(&c, false, "/home/alice/new", &data, 0, 0, LISTEN).init, -13);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  struct stat st;
  EXPECT_EQ(stat((lfxDir(gw) + "/home/alice/secret").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_NE(stat((lfxDir(gw) + "/home/alice/new").c_str(), &st), 0);
}

TEST(LfxFs, OpenAndOpenXReachTheServedTree) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  prepareTree(gw);
  hostFile(gw, "/home/alice/secret", "s", 0600);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    // As the archiver makes a remote archive: create with quor_Open, then
    // the data by lfx, then read it back over the direct connection.
    int fd = quor_Open("made", O_WRONLY | O_CREAT | O_TRUNC, 0666, nullptr, nullptr, nullptr);
    CHILD_CHECK(failures, fd >= 0);
    CHILD_EQ(failures, quor_Close(fd), 0);
    xfer_client_t c;
    std::vector<char> data = pattern(9000);
    CHILD_EQ(failures, transfer(&c, false, "made", &data, 0, 0, LISTEN).status, 0);
    dropPool(&c);
    fd = quor_OpenX(1, "/home/alice/made", O_RDONLY, 0, nullptr, nullptr, nullptr);
    std::vector<char> back(9000);
    int eof = 0;
    CHILD_EQ(failures, quor_ReadX(0x80000000u, fd, nullptr, back.size(), &eof), 0);
    CHILD_EQ(failures, quor_ReadX(0, fd, back.data(), back.size(), &eof), 9000);
    CHILD_CHECK(failures, back == data);
    CHILD_EQ(failures, quor_Close(fd), 0);
    CHILD_EQ(failures, quor_Open("missing", O_RDONLY, 0, nullptr, nullptr, nullptr), -2);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  struct stat st;
  ASSERT_EQ(stat((lfxDir(gw) + "/home/alice/made").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);  // 0666 less the site's mask
  EXPECT_EQ(st.st_uid, aliceUid());
  r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "bob", "builder") != 0) return 1;
    CHILD_EQ(failures, quor_Open("/home/alice/secret", O_RDONLY, 0, nullptr, nullptr, nullptr),
             -13);
    CHILD_EQ(failures, quor_OpenX(1, "/home/alice/secret", O_RDONLY, 0, nullptr, nullptr, nullptr),
             -13);
    CHILD_EQ(failures, quor_Open("/home/alice/new", O_WRONLY | O_CREAT, 0644, nullptr, nullptr,
                                 nullptr),
             -13);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// ---- transfers ----

TEST(LfxXfer, RoundTripsInlineAndOverTheConnectionAreByteIdentical) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  prepareTree(gw);
  // The inline limit exactly, one byte over it, and many buffers.
  static const size_t sizes[] = {0, 1, kInlineMax, kInlineMax + 1, (3u << 20) + 5};
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    int fdsBefore = countOpenFds();
    for (int setup : {LISTEN, CLIENT_CONNECT}) {
      xfer_client_t c;
      for (size_t size : sizes) {
        std::string path = "/home/alice/s" + std::to_string(setup) + "_" + std::to_string(size);
        std::vector<char> data = pattern(size, unsigned(size + setup));
        outcome_t put = transfer(&c, false, path.c_str(), &data, 0, 0, setup);
        CHILD_EQ(failures, put.init, 0);
        CHILD_EQ(failures, put.status, 0);
        CHILD_EQ(failures, put.bytes, size);
        CHILD_EQ(failures, put.inlined, size <= kInlineMax);
        std::vector<char> back(size);
        outcome_t get = transfer(&c, true, path.c_str(), &back, 0, 0, setup);
        CHILD_EQ(failures, get.status, 0);
        CHILD_EQ(failures, get.bytes, size);
        CHILD_CHECK(failures, back == data);
      }
      // One data connection served every transfer that needed one.
      CHILD_EQ(failures, c.accepts + c.connects, 1);
      dropPool(&c);
      CHILD_EQ(failures, ozugw_LfxCleanSockPool(), 0);
    }
    CHILD_EQ(failures, countOpenFds(), fdsBefore);
    CHILD_EQ(failures, leaksFound(), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  for (int setup : {LISTEN, CLIENT_CONNECT})
    for (size_t size : sizes) {
      std::string host =
          readFile(lfxDir(gw) + "/home/alice/s" + std::to_string(setup) + "_" + std::to_string(size));
      std::vector<char> want = pattern(size, unsigned(size + setup));
      EXPECT_TRUE(host.size() == size && std::equal(want.begin(), want.end(), host.begin()))
          << size << " bytes, set-up " << setup;
    }
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0100", "inline bytes=4096"), 4);
  EXPECT_EQ(countLines(j, "lfx-complete", "status=0 bytes=4097"), 4);
  EXPECT_EQ(countLines(j, "fn=0x0105", "closed=1"), 2);
}

TEST(LfxXfer, APooledSocketServesLaterTransfersUntilThePoolIsCleaned) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  prepareTree(gw);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    xfer_client_t c;
    std::vector<char> data = pattern(100000);
    for (int i = 0; i < 3; i++) {
      std::string path = "/home/alice/p" + std::to_string(i);
      CHILD_EQ(failures, transfer(&c, false, path.c_str(), &data, 0, 0, LISTEN).status, 0);
    }
    CHILD_EQ(failures, c.accepts, 1);
    dropPool(&c);
    CHILD_EQ(failures, ozugw_LfxCleanSockPool(), 0);
    // The gateway forgot the socket too: the next transfer needs a new one.
    CHILD_EQ(failures, transfer(&c, false, "/home/alice/p3", &data, 0, 0, LISTEN).status, 0);
    CHILD_EQ(failures, c.accepts, 2);
    dropPool(&c);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "fn=0x0100", "addrs=1 serial="), 4);
  EXPECT_EQ(countLines(j, "fn=0x0100", "pool=1"), 3);
  EXPECT_EQ(countLines(j, "fn=0x0100", "pool=2"), 1);
}

TEST(LfxXfer, RangesPartsAndTheEndOfTheFile) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  prepareTree(gw);
  std::vector<char> base = pattern(10000, 5);
  hostFile(gw, "/home/alice/r", std::string(base.begin(), base.end()), 0644);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    xfer_client_t c;
    // A put into the middle keeps the rest of the file.
    std::vector<char> piece(6000, 'Q');
    CHILD_EQ(failures, transfer(&c, false, "r", &piece, 1000, 2000, LISTEN).status, 0);
    // A get past the file's end: what there is, then the connection ends.
    std::vector<char> tail(6000);
    outcome_t o = transfer(&c, true, "r", &tail, 8000, 0, LISTEN);
    CHILD_EQ(failures, o.status, 0);
    CHILD_EQ(failures, o.bytes, 2000);
    CHILD_EQ(failures, tail.size(), 2000);
    CHILD_CHECK(failures, std::equal(tail.begin(), tail.end(), base.begin() + 8000));
    // That connection was not kept.
    CHILD_EQ(failures, c.pool.size(), 0);
    dropPool(&c);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  std::string host = readFile(lfxDir(gw) + "/home/alice/r");
  ASSERT_EQ(host.size(), 10000u);
  EXPECT_EQ(host.substr(0, 2000), std::string(base.begin(), base.begin() + 2000));
  EXPECT_EQ(host.substr(2000, 5000), std::string(5000, 'Q'));
  EXPECT_EQ(host.substr(7000), std::string(base.begin() + 7000, base.end()));
}

TEST(LfxXfer, AnOpenFileTravelsByItsDescriptor) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  prepareTree(gw);
  std::vector<char> base = pattern(50000, 7);
  hostFile(gw, "/home/alice/open", std::string(base.begin(), base.end()), 0644);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    // A file open on a second connection: its client descriptor is 1, the
    // gateway's 0, and the transfer must go on that connection.
    int a = quor_OpenX(1, "open", O_RDONLY, 0, nullptr, nullptr, nullptr);
    int first = quorex_GetCurConHandle(), second = 0;
    CHILD_EQ(failures, quorex_SetupConnection("127.0.0.1", nullptr, gw.port(), 0, 0, &second), 0);
    quor_SetAuthType(QUOR_AUTH_COMBO);
    quor_SetCombo("alice", "wonderland");
    CHILD_EQ(failures, quorex_OpenConnection(second), 0);
    int b = quor_OpenX(1, "/home/alice/open", O_RDONLY, 0, nullptr, nullptr, nullptr);
    CHILD_EQ(failures, a, 0);
    CHILD_EQ(failures, b, 1);
    CHILD_EQ(failures, quorex_SetCurConnection(first, nullptr), 0);
    xfer_client_t c;
    std::vector<char> back(50000);
    outcome_t o = transfer(&c, true, "ignored", &back, 0, 0, LISTEN, NONE, b);
    CHILD_EQ(failures, o.status, 0);
    CHILD_CHECK(failures, back == base);
    CHILD_EQ(failures, quor_Close(a), 0);
    // The OpenX file's own connection still reads in lfx mode.
    char head[16];
    int eof = 0;
    CHILD_EQ(failures, quor_ReadX(0x80000000u, b, nullptr, 16, &eof), 0);
    CHILD_EQ(failures, quor_ReadX(0, b, head, 16, &eof), 16);
    CHILD_CHECK(failures, memcmp(head, base.data(), 16) == 0);
    CHILD_EQ(failures, quor_Close(b), 0);
    // A descriptor that is not open is refused before anything is sent.
    CHILD_EQ(failures, transfer(&c, true, "open", &back, 0, 0, LISTEN, NONE, b).init, -1);
    dropPool(&c);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "conn=2 cat=0x1600 fn=0x0100", "filedes=0 "), 1);
  EXPECT_EQ(countLines(j, "fn=0x0100"), 1);
}

TEST(LfxXfer, EveryFailureEndsTheTransferWithItsError) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  prepareTree(gw);
  ChildResult r = runInChild([&] {
    int failures = 0;
    if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
    int fdsBefore = countOpenFds();
    xfer_client_t c;
    std::vector<char> big = pattern(20000);
    std::vector<char> back(20000);
    CHILD_EQ(failures, transfer(&c, true, "missing", &back, 0, 0, LISTEN).init, -2);
    CHILD_EQ(failures, transfer(&c, false, "no/dir/f", &big, 0, 0, LISTEN).init, -2);
    CHILD_EQ(failures, transfer(&c, false, "/home/alice", &big, 0, 0, LISTEN).init, -21);
    // Inline data only up to the gateway's limit.
    CHILD_EQ(failures, transfer(&c, false, "x", &big, 0, 0, LISTEN, FORCE_INLINE).init, -22);
    CHILD_EQ(failures, transfer(&c, true, "x", &back, 0, 0, LISTEN, FORCE_INLINE).init, -22);
    CHILD_EQ(failures, transfer(&c, false, "x", &big, 0, 0, LISTEN, BAD_POOL_ID).init, -9);
    // Failures of the data phase arrive in the completion.
    outcome_t o = transfer(&c, false, "x", &big, 0, 0, LISTEN, DEAD_ADDRESS);
    CHILD_EQ(failures, o.complete, 0);
    CHILD_EQ(failures, o.status, -111);
    o = transfer(&c, false, "x", &big, 0, 0, CLIENT_CONNECT, NEVER_CONNECT);
    CHILD_EQ(failures, o.status, -110);
    o = transfer(&c, false, "x", &big, 0, 0, LISTEN, SEND_SHORT);
    CHILD_EQ(failures, o.status, -5);
    CHILD_EQ(failures, o.bytes, 10000);
    CHILD_EQ(failures, c.pool.size(), 0);
    // The connection is in step after all of them.
    struct stat64 st;
    CHILD_EQ(failures, ozugw_LfxStat("x", &st), 0);
    CHILD_EQ(failures, countOpenFds(), fdsBefore);
    CHILD_EQ(failures, leaksFound(), 0);
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST(LfxXfer, ALostCompletionIsAFailure) {
  struct Case {
    const char* rule;
    int complete;
  };
  static const Case cases[] = {
      {" DropCompletion = 2\n", 0},  // any negative: the connection went
      {" EmptyCompletion = 2\n", -5000},
  };
  for (const Case& k : cases) {
    GwsimFixture gw(config(k.rule));
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    prepareTree(gw);
    ChildResult r = runInChild([&] {
      int failures = 0;
      if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
      xfer_client_t c;
      std::vector<char> data = pattern(9000);
      CHILD_EQ(failures, transfer(&c, false, "one", &data, 0, 0, LISTEN).status, 0);
      outcome_t o = transfer(&c, false, "two", &data, 0, 0, LISTEN);
      CHILD_EQ(failures, o.init, 0);
      CHILD_CHECK(failures, o.complete < 0);
      if (k.complete != 0) CHILD_EQ(failures, o.complete, k.complete);
      // Whoever reads only the status sees the failure too.
      CHILD_EQ(failures, o.status, o.complete);
      dropPool(&c);
      CHILD_EQ(failures, leaksFound(), 0);
      return failures;
    });
    EXPECT_EQ(r.status, 0) << k.rule << r.stderrText;
  }
}

// A completion its caller never collects (a transfer given up when its data
// connection could not be made, say) is dropped when it comes, whichever
// thread meets it: the connection stays in step and open.
TEST(LfxXfer, ACompletionNobodyCollectsIsDropped) {
  struct Case {
    int setup, fault;
    const char* completion;  // the journal's line for it
    bool otherThread;        // another thread meets it first
  };
  static const Case cases[] = {
      {LISTEN, DEAD_ADDRESS, "status=-111", false},
      {CLIENT_CONNECT, NEVER_CONNECT, "status=-110", true},
      {LISTEN, NONE, "status=0 bytes=20000", false},
      {LISTEN, NONE, "status=0 bytes=20000", true},
  };
  for (const Case& k : cases) {
    GwsimFixture gw(config());
    ASSERT_TRUE(gw.running()) << gw.stderrText();
    prepareTree(gw);
    hostFile(gw, "/home/alice/x", "x", 0644);
    ChildResult r = runInChild([&] {
      int failures = 0;
      if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
      xfer_client_t c;
      std::vector<char> big = pattern(20000);
      outcome_t o = transfer(&c, false, "gone", &big, 0, 0, k.setup, k.fault, -1, nullptr, false);
      CHILD_EQ(failures, o.init, 0);
      CHILD_CHECK(failures, gw.waitForJournal(std::string("lfx-complete serial=1 ") + k.completion));
      struct stat64 st;
      if (k.otherThread) {
        // The other thread meets the completion and waits for its owner,
        // which goes on to another call instead of collecting it.
        quor_connection_t* conn = qelapi_getCurConnection();
        std::atomic<bool> done{false};
        int statRc = 1;
        std::thread other([&] {
          struct stat64 ost;
          statRc = ozugw_LfxStat("x", &ost);
          done = true;
        });
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        bool waiting = false;
        while (!waiting && !done && std::chrono::steady_clock::now() < until) {
          pthread_mutex_lock(&conn->msg_in.theMutex);
          waiting = conn->msg_in.waitReplyList != nullptr;
          pthread_mutex_unlock(&conn->msg_in.theMutex);
          if (!waiting) usleep(2000);
        }
        CHILD_EQ(failures, ozugw_LfxStat("x", &st), 0);
        other.join();
        CHILD_EQ(failures, statRc, 0);
      }
      CHILD_EQ(failures, ozugw_LfxStat("x", &st), 0);
      CHILD_EQ(failures, ozugw_LfxStat("x", &st), 0);
      // A later transfer gets its own completion.
      o = transfer(&c, false, "kept", &big, 0, 0, LISTEN);
      CHILD_EQ(failures, o.complete, 0);
      CHILD_EQ(failures, o.status, 0);
      CHILD_EQ(failures, o.bytes, big.size());
      dropPool(&c);
      CHILD_EQ(failures, leaksFound(), 0);
      return failures;
    });
    EXPECT_EQ(r.status, 0) << k.completion << "\n" << r.stderrText << readFile(gw.journalPath());
    // The one connection served it all.
    EXPECT_EQ(countLines(gw.journalLines(), " open"), 1) << k.completion;
  }
}

// A completion that cannot be awaited still leaves nothing old in the
// caller's record.
TEST(LfxXfer, AnUnreachableGatewayLeavesACompletionRecordCleared) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  gw.stop();
  ChildResult r = runInChild([&] {
    int failures = 0;
    clientEnv(gw);
    ozu_xfer_complete_t done;
    memset(&done, 0x5a, sizeof done);
    int rc = ozugw_LfxGetXferReply(&done);
    CHILD_CHECK(failures, rc < 0);
    CHILD_EQ(failures, done.xferStatus, rc);
    done.xferStatus = 0;
    CHILD_CHECK(failures, allZero(&done, sizeof done));
    return failures;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

// The completion comes while its thread is not receiving: another thread's
// call on the connection that meets it first leaves it for
// ozugw_LfxGetXferReply and gets its own answer after it.
TEST(LfxXfer, ACompletionAnotherThreadMeetsFirstWaitsForItsTransfer) {
  GwsimFixture gw(config());
  ASSERT_TRUE(gw.running()) << gw.stderrText();
  prepareTree(gw);
  hostFile(gw, "/home/alice/other", "x", 0644);
  ChildResult r = runInChild(
      [&] {
        int failures = 0;
        if (clientLogin(gw, "alice", "wonderland") != 0) return 1;
        quor_connection_t* conn = qelapi_getCurConnection();
        xfer_client_t c;
        for (bool get : {false, true}) {
          std::vector<char> data = pattern(kInlineMax * 4, get ? 2 : 1);
          std::atomic<bool> done{false};
          int statRc = 1;
          std::thread other;
          auto meet = [&] {
            // The completion waits unread on the control socket, or already
            // in the stream's buffer when it came in one read with the answer.
            auto sentBy = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            bool sent = false;
            while (!sent && std::chrono::steady_clock::now() < sentBy) {
              struct pollfd pfd = {conn->ctl_fd.load(), POLLIN, 0};
              sent = poll(&pfd, 1, 100) == 1 ||
                     countLines(gw.journalLines(), "lfx-complete", "status=0 bytes=16384") ==
                         (get ? 2 : 1);
            }
            CHILD_CHECK(failures, sent);
            other = std::thread([&] {
              struct stat64 st;
              statRc = ozugw_LfxStat("/home/alice/other", &st);
              done = true;
            });
            // Until the other thread sleeps behind the completion (or gave up).
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            bool waiting = false;
            while (!waiting && !done && std::chrono::steady_clock::now() < until) {
              pthread_mutex_lock(&conn->msg_in.theMutex);
              waiting = conn->msg_in.waitReplyList != nullptr;
              pthread_mutex_unlock(&conn->msg_in.theMutex);
              if (!waiting) usleep(2000);
            }
            CHILD_CHECK(failures, waiting || done);
          };
          outcome_t o = transfer(&c, get, "/home/alice/meet", &data, 0, 0, LISTEN, NONE, -1, meet);
          other.join();
          CHILD_EQ(failures, o.init, 0);
          CHILD_EQ(failures, o.complete, 0);
          CHILD_EQ(failures, o.status, 0);
          CHILD_EQ(failures, o.bytes, data.size());
          CHILD_EQ(failures, statRc, 0);
        }
        // Still in step, and a later call of this thread takes its own reply.
        struct stat64 st;
        CHILD_EQ(failures, ozugw_LfxStat("/home/alice/meet", &st), 0);
        CHILD_EQ(failures, uint64_t(st.st_size), kInlineMax * 4);
        dropPool(&c);
        CHILD_EQ(failures, ozugw_LfxCleanSockPool(), 0);
        return failures;
      },
      90);
  EXPECT_EQ(r.status, 0) << r.stderrText;
  auto j = gw.journalLines();
  EXPECT_EQ(countLines(j, "lfx-complete", "status=0 bytes=16384"), 2);
}
