// gwsim's request loop over a buffer: frames decode, reach their handlers
// and are answered into memory, on a small namespace that every input finds
// as configured (remade after an input that changed it). The first byte
// chooses who the session is: nobody logged in yet, alice, bob or root; the
// rest is what the client sends. A logged-in session starts with two files
// open (descriptor 0 alice's notes, 1 the tape file) and alice's home as
// directory 0, so that a request on a descriptor is one frame away.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config.h"
#include "dispatch.h"
#include "fuzz_support.h"
#include "journal.h"
#include "msg_files.h"
#include "msg_namespace.h"
#include "ozugw_msghdr.h"
#include "qel_crypto.h"
#include "store.h"

namespace {

const char kConfig[] =
    "Users = {\n"
    "  alice = {\n    Password = wonderland\n    Uid = 1001\n    Gid = 100\n"
    "    Groups = 100 200\n    Accounts = 7 8\n    Home = /home/alice\n  }\n"
    "  bob = {\n    Password = builder\n    Uid = 1002\n    Gid = 101\n  }\n"
    "  root = {\n    Password = toor\n    Uid = 0\n    Gid = 0\n  }\n"
    "}\n"
    "Files = {\n"
    "  /home = {\n    Type = directory\n  }\n"
    "  /home/alice = {\n    Type = directory\n    Uid = 1001\n    Gid = 100\n    Mode = 0755\n  }\n"
    "  /home/alice/notes = {\n    Data = hello\n    Uid = 1001\n    Gid = 100\n    Mode = 0644\n  }\n"
    "  /home/bob = {\n    Type = directory\n    Uid = 1002\n    Gid = 101\n    Mode = 0700\n  }\n"
    "  /data = {\n    Type = directory\n    Mode = 01777\n  }\n"
    "  /data/tape.bin = {\n    Size = 4096\n    Tape = VOL001:17:PV0001:shelf VOL002:3\n    Disk\n    Uid = 1001\n"
    "    PurgeLock\n  }\n"
    "  /data/link = {\n    Type = symlink\n    Target = /data/tape.bin\n  }\n"
    "}\n";

gw_config_t* cfg = nullptr;
std::string root;

void fresh_store() {
  gw_StoreClose();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  for (const char* suffix : {".db", ".db-wal", ".db-shm", ".db-journal"})
    std::filesystem::remove(root + suffix, ec);
  std::string err;
  if (gw_StoreOpen(root.c_str(), cfg, &err) < 0) {
    fuzz_fail(__FILE__, __LINE__, err.c_str());
  }
}

// What an input may have changed: every name under the root and the
// database files, with inode, mode, size and change times.
std::string fingerprint() {
  std::string fp;
  auto add = [&fp](const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    char line[128];
    snprintf(line, sizeof line, " %lu %o %lld %lld.%ld %lld.%ld\n",
             static_cast<unsigned long>(st.st_ino), unsigned(st.st_mode),
             static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
             st.st_mtim.tv_nsec, static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
    fp += path;
    fp += line;
  };
  for (const char* suffix : {".db", ".db-wal"}) add(root + suffix);
  add(root);
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    add(it->path().string());
  return fp;
}

std::string pristine;

const gw_user_t* user_named(const char* name) {
  for (const gw_user_t& u : cfg->users)
    if (u.name == name) return &u;
  return nullptr;
}

// With OZU_FUZZ_SEED_OUT=DIR, a run over files takes those that start with a
// request header (what the tests sent gwsim on a raw socket) and writes them
// into DIR as seeds, once as they are and once for a session of alice's.
void write_seeds(const char* dir, const uint8_t* data, size_t size) {
  if (size < API_MSGHDR_WIRE_SIZE || memcmp(data, API_MSGH_SANITY, API_MSGH_SANITY_LEN) != 0)
    return;
  uint64_t h = 1469598103934665603ull;
  for (size_t k = 0; k < size; k++) h = (h ^ data[k]) * 1099511628211ull;
  for (uint8_t who : {0, 1}) {
    char name[64];
    snprintf(name, sizeof name, "/%u-%016llx", who, static_cast<unsigned long long>(h));
    FILE* f = fopen((std::string(dir) + name).c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(fwrite(&who, 1, 1, f) == 1 && fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(fclose(f) == 0);
  }
}

const char* seed_out = nullptr;

void add_frame(std::vector<char>* buf, uint32_t id, uint16_t cat, uint16_t fn, xdrproc_t codec,
               void* rec) {
  api_msghdr_t h;
  ozugw_BuildMsgHdr(&h, id, API_MSGF_BODY, 1700000000, 0, cat, fn, 0);
  char raw[API_MSGHDR_WIRE_SIZE + 2048];
  XDR x;
  xdrmem_create(&x, raw, sizeof raw, XDR_ENCODE);
  FUZZ_CHECK(qel_xdr_api_msghdr_t(&x, &h) && codec(&x, rec, 0));
  buf->insert(buf->end(), raw, raw + xdr_getpos(&x));
  xdr_destroy(&x);
}

// The requests every logged-in session begins with.
std::vector<char> prologue() {
  std::vector<char> buf;
  char notes[] = "/home/alice/notes";
  char tape[] = "/data/tape.bin";
  char home[] = "/home/alice";
  api_quor_Open_req_t open;
  memset(&open, 0, sizeof open);
  open.Oflag = 0;  // read only: anybody may
  open.Path = notes;
  add_frame(&buf, 0xF0000001u, QEL_CAT_CORE, QEL_FN_CORE_Open,
            reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_Open_req_t), &open);
  open.Path = tape;
  add_frame(&buf, 0xF0000002u, QEL_CAT_CORE, QEL_FN_CORE_Open,
            reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_Open_req_t), &open);
  api_quor_Opendir_req_t dir = {home};
  add_frame(&buf, 0xF0000003u, QEL_CAT_CORE, QEL_FN_CORE_Opendir,
            reinterpret_cast<xdrproc_t>(qel_xdr_api_quor_Opendir_req_t), &dir);
  return buf;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  seed_out = getenv("OZU_FUZZ_SEED_OUT");
  std::string conf = fuzz_workdir() + "/gwsim.conf";
  FILE* f = fopen(conf.c_str(), "w");
  FUZZ_CHECK(f != nullptr);
  fputs(kConfig, f);
  FUZZ_CHECK(fclose(f) == 0);
  cfg = new gw_config_t;
  std::string err;
  if (gw_LoadConfig(conf.c_str(), cfg, &err) < 0) fuzz_fail(__FILE__, __LINE__, err.c_str());
  root = fuzz_workdir() + "/root";
  cfg->root = root;
  // OZU_FUZZ_JOURNAL=/dev/stderr shows what an input asked, for a crash's story.
  const char* journal = getenv("OZU_FUZZ_JOURNAL");
  FUZZ_CHECK(gw_JournalOpen(journal ? journal : "/dev/null") == 0);
  FUZZ_CHECK(quorex_OpenSSLInit() >= 0);
  setenv("QUOR_NET_FAMILY", "ipv6", 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (seed_out != nullptr) {
    write_seeds(seed_out, data, size);
    return 0;
  }
  if (size == 0) return 0;
  if (pristine.empty() || fingerprint() != pristine) {
    fresh_store();
    pristine = fingerprint();
  }
  gw_conn_t conn;
  gw_ConnInit(&conn, cfg, 1, -1);
  static const char* const kWho[] = {nullptr, "alice", "bob", "root"};
  if (const char* who = kWho[data[0] % 4]) {
    conn.user = user_named(who);
    FUZZ_CHECK(conn.user != nullptr);
    conn.loggedIn = 1;
  }
  static const std::vector<char> start = prologue();
  std::vector<char> in;
  if (conn.loggedIn) in = start;
  in.insert(in.end(), data + 1, data + size);
  std::vector<char> out;
  size_t served = gw_ServeBuffer(&conn, in.data(), in.size(), &out);
  // Whatever was asked, what went back starts with a whole reply header.
  if (!out.empty()) {
    FUZZ_CHECK(out.size() >= API_MSGHDR_WIRE_SIZE);
    FUZZ_CHECK(memcmp(out.data(), API_MSGH_SANITY, API_MSGH_SANITY_LEN) == 0);
  }
  FUZZ_CHECK(served <= in.size() / API_MSGHDR_WIRE_SIZE);
  return 0;
}
