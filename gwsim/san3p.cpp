// gwsim's SAN3P movers; see san3p.h.
#include "san3p.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "config_values.h"
#include "mvr_protocol.h"

namespace {

constexpr int kIoTimeoutMs = 30000;

struct san3p_cfg {
  bool enabled = false;
  std::string disk;
  uint32_t blockSize = 512;
  uint64_t block = 1;
  uint32_t blockOffset = 0;
  std::string uuid;
};

san3p_cfg scfg;

int fail(std::string* err, unsigned line, const std::string& why) {
  *err = std::to_string(line) + ": " + why;
  return -22;
}

bool sendAll(int fd, const void* p, size_t len) {
  const char* c = static_cast<const char*>(p);
  while (len > 0) {
    ssize_t n = send(fd, c, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    c += n;
    len -= size_t(n);
  }
  return true;
}

bool recvAll(int fd, void* p, size_t len) {
  char* c = static_cast<char*>(p);
  while (len > 0) {
    struct pollfd pf = {fd, POLLIN, 0};
    int r = poll(&pf, 1, kIoTimeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = recv(fd, c, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    c += n;
    len -= size_t(n);
  }
  return true;
}

// Copies len bytes between two host files: true when all went.
bool copyBytes(int from, uint64_t fromAt, int to, uint64_t toAt, uint64_t len) {
  std::vector<char> buf(size_t(std::min<uint64_t>(len, 1 << 20)));
  while (len > 0) {
    size_t n = size_t(std::min<uint64_t>(len, buf.size()));
    ssize_t got = pread(from, buf.data(), n, off_t(fromAt));
    if (got <= 0 || pwrite(to, buf.data(), size_t(got), off_t(toAt)) != got) return false;
    fromAt += uint64_t(got);
    toAt += uint64_t(got);
    len -= uint64_t(got);
  }
  return true;
}

// One piece: 0 with the bytes the client took (its answer may take fewer
// than offered) in *took, or -1 with *why.
int movePiece(gw_mover_plan_t* plan, gw_mover_job_t* job, int ctl, int disk, uint64_t off,
              uint64_t n, uint64_t* took, std::string* why) {
  const uint64_t pos = scfg.block * scfg.blockSize + scfg.blockOffset + off;
  bool read = plan->direction == GW_MOVE_READ;
  if (read && !copyBytes(plan->fd, plan->fileBase + off, disk, pos, n)) {
    *why = "san3p disk";
    return -1;
  }
  initiator_msg_t init;
  memset(&init, 0, sizeof init);
  init.Delimiter = MVRPROT_DELIMITER;
  init.Flags = MVRPROT_COMP_REPLY;
  init.Type = MVRPROT_TYPE_SAN3P;
  init.Offset = off;
  init.Length = n;
  init.BlockSize = plan->blockSize;
  init.StripeWidth = plan->stripeWidth;
  init.TotalLength = plan->total;
  init.DevBlkSz = scfg.blockSize;
  init.DevBlkOff = uint32_t(pos % scfg.blockSize);
  memcpy(init.SecurityTicket, "SAN3PTKT", 8);
  init.CheckSum = mvrprot_initmsg_checksum(&init);
  unsigned char ib[MVRPROT_INITMSG_LEN];
  mvrprot_encode_initmsg(&init, ib);
  // The client answers the initiator (flags 10, the length it takes)
  // before it sends its SAN3P address.
  initiator_msg_t answer;
  if (!sendAll(ctl, ib, sizeof ib) || mvrprot_recv_initmsg_timeout(ctl, &answer, kIoTimeoutMs / 1000) != 0 ||
      answer.Type != MVRPROT_TYPE_SAN3P || answer.Length == 0 || answer.Length > n) {
    *why = "san3p initiator reply";
    return -1;
  }
  n = answer.Length;
  *took = n;
  unsigned char ab[MVRPROT_SAN3PADDR_LEN];
  initiator_san3paddr_t addr;
  if (!recvAll(ctl, ab, sizeof ab) ||
      mvrprot_decode_san3paddr(ab, &addr) != 0 || addr.San3pAddr.SAN3PTransferID != job->xferId) {
    *why = "san3p address";
    return -1;
  }
  san3p_devaddr_t dev;
  memset(&dev, 0, sizeof dev);
  dev.Delimiter = MVRPROT_DELIMITER;
  dev.SAN3PTransferID = job->xferId;
  dev.Flags = scfg.uuid.empty() ? 0 : 0x1;
  dev.MediaBlockSize = scfg.blockSize;
  dev.BlockOffset = uint32_t(pos % scfg.blockSize);
  dev.Block = pos / scfg.blockSize;
  dev.StartOffset = off;
  const std::string& name = scfg.uuid.empty() ? scfg.disk : scfg.uuid;
  memcpy(dev.DevName, name.data(), std::min(name.size(), sizeof dev.DevName));
  dev.CheckSum = mvrprot_devaddr_checksum(&dev);
  unsigned char db[MVRPROT_DEVADDR_LEN];
  mvrprot_encode_devaddr(&dev, db);
  completion_msg_t done;
  if (!sendAll(ctl, db, sizeof db) || mvrprot_recv_compmsg_timeout(ctl, &done, kIoTimeoutMs / 1000) != 0) {
    *why = "san3p completion";
    return -1;
  }
  if (done.Status != 0 || done.BytesMoved != n) {
    *why = "san3p status " + std::to_string(done.Status);
    return -1;
  }
  if (!read && !copyBytes(disk, pos, plan->fd, plan->fileBase + off, n)) {
    *why = "san3p disk";
    return -1;
  }
  return 0;
}

}  // namespace

void gw_San3pDefaults(void) { scfg = san3p_cfg{}; }

int gw_San3pEnabled(void) { return scfg.enabled ? 1 : 0; }

int gw_San3pLoad(quor_cfg_stanza_t* block, std::string* err) {
  scfg = san3p_cfg{};
  for (quor_cfg_stanza_t* e = block->substanzaList; e; e = e->next) {
    const char* v = e->type == CFG_SIMPLE_TYPE ? e->KeyValue : nullptr;
    if (!v) return fail(err, e->LineNum, std::string("San3p entry needs a value: ") + e->KeyString);
    int64_t n;
    if (strcasecmp(e->KeyString, "Disk") == 0) {
      scfg.disk = v;
      if (scfg.disk.empty() || scfg.disk.size() > 64) return fail(err, e->LineNum, "Disk wants a path of 1 to 64 characters");
    } else if (strcasecmp(e->KeyString, "BlockSize") == 0) {
      if (gw_ParseNumber(v, 1, 1 << 20, &n) < 0) return fail(err, e->LineNum, "bad BlockSize");
      scfg.blockSize = uint32_t(n);
    } else if (strcasecmp(e->KeyString, "Block") == 0) {
      if (gw_ParseNumber(v, 0, 1LL << 40, &n) < 0) return fail(err, e->LineNum, "bad Block");
      scfg.block = uint64_t(n);
    } else if (strcasecmp(e->KeyString, "BlockOffset") == 0) {
      if (gw_ParseNumber(v, 0, 1 << 20, &n) < 0) return fail(err, e->LineNum, "bad BlockOffset");
      scfg.blockOffset = uint32_t(n);
    } else if (strcasecmp(e->KeyString, "Uuid") == 0) {
      scfg.uuid = v;
      if (scfg.uuid.size() != 36) return fail(err, e->LineNum, "Uuid wants the 36-character text form");
    } else {
      return fail(err, e->LineNum, std::string("unknown San3p key ") + e->KeyString);
    }
  }
  if (scfg.disk.empty()) return fail(err, block->LineNum, "San3p needs a Disk");
  if (scfg.blockOffset >= scfg.blockSize) return fail(err, block->LineNum, "BlockOffset must be below BlockSize");
  scfg.enabled = true;
  return 0;
}

int gw_San3pRunJob(gw_mover_plan_t* plan, gw_mover_job_t* job, int ctl, std::string* why) {
  int disk = open(scfg.disk.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (disk < 0) {
    *why = "san3p disk";
    return -1;
  }
  const uint64_t packet = gw_MoverSettings()->packetSize;
  int rc = 0;
  for (gw_mover_piece_t& p : job->pieces) {
    while (rc == 0 && p.moved < p.length) {
      uint64_t n = std::min(packet, p.length - p.moved);
      uint64_t took = 0;
      rc = movePiece(plan, job, ctl, disk, p.offset + p.moved, n, &took, why);
      if (rc == 0) p.moved += took;
    }
    if (rc != 0) break;
  }
  close(disk);
  return rc;
}
