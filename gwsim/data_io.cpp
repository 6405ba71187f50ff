// List reads and writes of open files through gwsim's movers, and the file
// offset calls; see data_io.h.
#include "data_io.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "reply.h"
#include "movers.h"
#include "msg_files.h"
#include "store.h"

#define GW_OPEN_READ 0x01
#define GW_OPEN_WRITE 0x02
#define GW_OPEN_RDWR 0x04

namespace {

// The open file of a gateway descriptor, or null.
gw_openfile_t* openFile(gw_conn_t* conn, int32_t fildes) {
  if (fildes < 0 || size_t(fildes) >= conn->files.size() || !conn->files[size_t(fildes)].inUse)
    return nullptr;
  return &conn->files[size_t(fildes)];
}

// The file side of a descriptor and its network side, as lists.
struct sides {
  iod_srcsinkdesc_t* file = nullptr;
  std::vector<iod_srcsinkdesc_t*> net;
};

int splitSides(const quor_IOD_t* iod, bool read, sides* out) {
  const iod_srcsinkdesc_t* fileList = read ? iod->SrcDescList : iod->SinkDescList;
  int32_t fileCount = read ? iod->SrcDescLength : iod->SinkDescLength;
  const iod_srcsinkdesc_t* netList = read ? iod->SinkDescList : iod->SrcDescList;
  int32_t netCount = read ? iod->SinkDescLength : iod->SrcDescLength;
  if (fileCount != 1 || netCount < 1 || !fileList || fileList->SrcSinkAddr.Type != CLIENTFILE_ADDRESS)
    return -22;
  out->file = const_cast<iod_srcsinkdesc_t*>(fileList);
  const iod_srcsinkdesc_t* e = netList;
  for (int32_t i = 0; i < netCount; i++, e = e->Next) {
    if (!e) return -22;
    if (e->SrcSinkAddr.Type != NET_ADDRESS && e->SrcSinkAddr.Type != STRIPE_ADDRESS) return -22;
    out->net.push_back(const_cast<iod_srcsinkdesc_t*>(e));
  }
  return 0;
}

int protocolOf(uint32_t flags) {
  if (flags & QUOR_IOD_CONTROL_ADDR) return GW_MOVER_MVRPROT;
  if (flags & QUOR_IOD_COND_CTRL_ADDR) return gw_MoverSettings()->selectProtocol;
  return GW_MOVER_PDATA;
}

// [lo, hi) of a descriptor's range that lies inside [0, limit).
bool clip(const iod_srcsinkdesc_t* d, uint64_t limit, uint64_t* lo, uint64_t* hi) {
  *lo = d->Offset;
  *hi = d->Length > UINT64_MAX - d->Offset ? UINT64_MAX : d->Offset + d->Length;
  *hi = std::min(*hi, limit);
  return *lo < *hi;
}

// Jobs for one unstriped address: its range dealt out to `count` movers in
// packets, one run each when there is one mover. A crowd deals smaller
// packets so that every mover carries data: the client cannot finish the
// window without taking every connection, which makes the crowd's size what
// it sees.
void addressJobs(gw_mover_plan_t* plan, const netaddress_t* na, int protocol, uint64_t lo,
                 uint64_t hi, int count, bool crowd) {
  uint64_t packet = gw_MoverSettings()->packetSize;
  if (crowd && count > 1)
    packet = std::min(packet, std::max<uint64_t>(1, (hi - lo + uint64_t(count) - 1) / uint64_t(count)));
  size_t first = plan->jobs.size();
  for (int i = 0; i < count; i++) {
    gw_mover_job_t j;
    j.addr = na->SockAddr;
    j.xferId = na->SockTransferID;
    j.protocol = protocol;
    plan->jobs.push_back(j);
  }
  if (count == 1 && !plan->faults.swap) {
    plan->jobs[first].pieces.push_back({lo, hi - lo, 0});
    return;
  }
  size_t k = 0;
  for (uint64_t at = lo; at < hi; at += packet, k++) {
    uint64_t len = std::min(packet, hi - at);
    plan->jobs[first + k % size_t(count)].pieces.push_back({at, len, 0});
  }
  // Later pieces before earlier ones: each pair goes out second first.
  if (plan->faults.swap)
    for (size_t j = first; j < plan->jobs.size(); j++) {
      auto& ps = plan->jobs[j].pieces;
      for (size_t i = 0; i + 1 < ps.size(); i += 2) std::swap(ps[i], ps[i + 1]);
    }
}

// Jobs for a stripe list: stripe k moves blocks k, k + W, ... of the range.
int stripeJobs(gw_mover_plan_t* plan, const iod_srcsinkdesc_t* d, uint64_t lo, uint64_t hi,
               int perStripe) {
  const iod_stripe_addr_t* s = &d->SrcSinkAddr.Addr_u.StripeAddr;
  int32_t width = s->AddrListLength > 0 ? s->AddrListLength : 1;
  uint64_t bs = s->BlockSize;
  if (bs == 0) return -22;
  plan->blockSize = bs;
  plan->stripeWidth = uint64_t(width);
  const iod_stripe_addr_t* e = s;
  for (int32_t k = 0; k < width; k++, e = e->Next) {
    if (!e || e->Addr.Type != NET_ADDRESS) return -22;
    const netaddress_t* na = &e->Addr.Addr_u.NetAddr;
    size_t first = plan->jobs.size();
    for (int i = 0; i < perStripe; i++) {
      gw_mover_job_t j;
      j.addr = na->SockAddr;
      j.xferId = na->SockTransferID;
      j.protocol = protocolOf(e->Flags);
      plan->jobs.push_back(j);
    }
    size_t n = 0;
    for (uint64_t at = d->Offset + uint64_t(k) * bs; at < hi;
         at += uint64_t(width) * bs, n++) {
      uint64_t end = std::min(at + bs, hi);
      if (end > lo) {
        uint64_t from = std::max(at, lo);
        plan->jobs[first + n % size_t(perStripe)].pieces.push_back({from, end - from, 0});
      }
    }
  }
  return 0;
}

// Jobs for a file striped `width` wide over blocks of bs, through one
// control address: one mover per stripe, stripe k taking the file's blocks
// k, k + width, ... of [lo, hi).
void fileStripeJobs(gw_mover_plan_t* plan, const netaddress_t* na, uint64_t lo, uint64_t hi,
                    uint32_t width, uint64_t bs) {
  plan->blockSize = bs;
  plan->stripeWidth = width;
  size_t first = plan->jobs.size();
  for (uint32_t k = 0; k < width; k++) {
    gw_mover_job_t j;
    j.addr = na->SockAddr;
    j.xferId = na->SockTransferID;
    j.protocol = GW_MOVER_MVRPROT;
    plan->jobs.push_back(j);
  }
  for (uint64_t at = lo; at < hi;) {
    uint64_t blk = (plan->fileBase + at) / bs;
    uint64_t end = std::min(hi, (blk + 1) * bs - plan->fileBase);
    plan->jobs[first + blk % width].pieces.push_back({at, end - at, 0});
    at = end;
  }
}

// The last run of data found in each stored file. Finding a hole can walk
// the whole file (tmpfs looks at every page), so reads that go on through
// one run ask once.
struct dataRun {
  uint64_t size;
  int64_t mtimeNs;
  uint64_t start, end;  // data in [start, end)
};
std::mutex runsLock;
std::map<std::pair<dev_t, ino_t>, dataRun> runs;

// Where a read from base stops for a hole: *moveLen bytes of data first, then
// *gapLen bytes of hole (both within len).
void findHole(int fd, const struct stat& st, uint64_t base, uint64_t len, uint64_t* moveLen,
              uint64_t* gapLen) {
  uint64_t size = uint64_t(st.st_size);
  *moveLen = 0;
  *gapLen = 0;
  if (base >= size || len == 0) return;
  len = std::min(len, size - base);
  auto key = std::make_pair(st.st_dev, st.st_ino);
  int64_t mtime = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  {
    std::lock_guard<std::mutex> hold(runsLock);
    auto it = runs.find(key);
    if (it != runs.end() && it->second.size == size && it->second.mtimeNs == mtime &&
        base >= it->second.start && base < it->second.end &&
        it->second.end - base >= len) {
      *moveLen = len;
      return;
    }
  }
  off_t data = lseek(fd, off_t(base), SEEK_DATA);
  if (data < 0) data = off_t(size);  // only a hole up to the end
  if (uint64_t(data) > base) {
    *gapLen = std::min(uint64_t(data) - base, len);
    return;
  }
  off_t hole = lseek(fd, off_t(base), SEEK_HOLE);
  if (hole < 0 || uint64_t(hole) > size) hole = off_t(size);
  {
    std::lock_guard<std::mutex> hold(runsLock);
    runs[key] = dataRun{size, mtime, base, uint64_t(hole)};
  }
  *moveLen = std::min(len, uint64_t(hole) - base);
  if (*moveLen < len && uint64_t(hole) < size) {
    off_t next = lseek(fd, hole, SEEK_DATA);
    if (next < 0) next = off_t(size);
    *gapLen = std::min(uint64_t(next) - uint64_t(hole), len - *moveLen);
  }
}

// Bytes of [lo, hi) inside [0, prefix).
uint64_t within(uint64_t lo, uint64_t hi, uint64_t prefix) {
  return prefix > lo ? std::min(hi, prefix) - lo : 0;
}

iod_srcsinkreply_t* replyList(std::vector<iod_srcsinkreply_t>* v) {
  for (size_t i = 0; i + 1 < v->size(); i++) (*v)[i].Next = &(*v)[i + 1];
  if (!v->empty()) v->back().Next = nullptr;
  return v->empty() ? nullptr : v->data();
}

int listTransfer(gw_conn_t* conn, void* req, int direction, gw_reply_t* reply) {
  const api_quor_list_req_t* rq = static_cast<const api_quor_list_req_t*>(req);
  const quor_IOD_t* iod = &rq->theIOD;
  bool read = direction == GW_MOVE_READ;
  sides sd;
  if (iod->Function != (read ? QUOR_IOD_READ : QUOR_IOD_WRITE) ||
      splitSides(iod, read, &sd) < 0) {
    reply->errorcode = -22;
    return 0;
  }
  const clientfileaddress_t* fa = &sd.file->SrcSinkAddr.Addr_u.ClientFileAddr;
  gw_openfile_t* of = openFile(conn, fa->FileDes);
  uint32_t need = read ? (GW_OPEN_READ | GW_OPEN_RDWR) : (GW_OPEN_WRITE | GW_OPEN_RDWR);
  if (!of || of->fd < 0 || !(of->oflag & need)) {
    reply->errorcode = -9;
    return 0;
  }
  const gw_mover_settings_t* set = gw_MoverSettings();
  gw_mover_plan_t plan;
  plan.direction = direction;
  plan.fd = of->fd;
  plan.fileBase = fa->FileOffset == ~0ULL ? of->offset : fa->FileOffset;
  plan.blockSize = set->packetSize;
  plan.stripeWidth = 1;
  plan.faults = gw_MoverFaultsFor(direction);
  // A session driven from a buffer (a fuzzer) has no client to connect to.
  plan.offline = conn->fd < 0;
  uint64_t len = sd.file->Length;
  if (set->maxRequest > 0) len = std::min(len, set->maxRequest);
  uint64_t gapLen = 0;
  if (read) {
    struct stat st;
    if (fstat(of->fd, &st) != 0) memset(&st, 0, sizeof st);
    uint64_t moveLen;
    findHole(of->fd, st, plan.fileBase, len, &moveLen, &gapLen);
    len = moveLen;
  }
  plan.total = len;
  if (read && !sd.net.empty() && protocolOf(sd.net[0]->Flags) == GW_MOVER_MVRPROT)
    gw_MoverReadKnobsFor(&plan.faults);
  // Read knobs: the movers stop early; the reply says -5, or claims more.
  if (read && plan.faults.eioAfter > 0 && plan.faults.eioAfter < len) {
    plan.faults.shortMove = plan.faults.eioAfter;
    plan.faults.shortMoveSet = 1;
  }
  if (read && plan.faults.claimMore > 0) {
    plan.faults.shortMove = len > plan.faults.claimMore ? len - plan.faults.claimMore : 1;
    plan.faults.shortMoveSet = 1;
  }
  int perAddress = plan.faults.crowd > 0 ? plan.faults.crowd : set->perAddress;
  uint32_t fileWidth = 1;
  uint64_t stripeLen = 1u << 20;
  if (gw_StoreStripe(of->path, &fileWidth, &stripeLen) < 0) fileWidth = 1;
  for (const iod_srcsinkdesc_t* d : sd.net) {
    uint64_t lo, hi;
    if (!clip(d, len, &lo, &hi)) continue;
    if (d->SrcSinkAddr.Type == NET_ADDRESS && fileWidth > 1 && plan.faults.crowd == 0 &&
        protocolOf(d->Flags) == GW_MOVER_MVRPROT) {
      fileStripeJobs(&plan, &d->SrcSinkAddr.Addr_u.NetAddr, lo, hi, fileWidth, stripeLen);
    } else if (d->SrcSinkAddr.Type == NET_ADDRESS) {
      addressJobs(&plan, &d->SrcSinkAddr.Addr_u.NetAddr, protocolOf(d->Flags), lo, hi,
                  perAddress, plan.faults.crowd > 0);
    } else if (stripeJobs(&plan, d, lo, hi, plan.faults.crowd > 0 ? plan.faults.crowd : 1) < 0) {
      reply->errorcode = -22;
      return 0;
    }
  }
  // The stripe of the request's first byte is held back: the others grow
  // the file past the request's start while nothing of it moved.
  gw_mover_job_t* held = nullptr;
  if (plan.faults.stripeHole && plan.jobs.size() > 1) {
    for (gw_mover_job_t& j : plan.jobs)
      if (!j.pieces.empty() && (!held || j.pieces[0].offset < held->pieces[0].offset)) held = &j;
    if (held) held->pieces.clear();
  }
  gw_MoversRun(&plan);
  if (held) {
    held->failed = 1;
    held->why = "stripe hole";
  }

  uint64_t moved = gw_MoversPrefix(&plan);
  std::string why;
  for (const gw_mover_job_t& j : plan.jobs)
    if (j.failed && why.empty()) why = j.why;
  if (read && plan.faults.eioAfter > 0 && plan.faults.eioAfter < len && why.empty()) why = "eio-after";
  int32_t code = plan.faults.codeSet ? plan.faults.code : why.empty() ? 0 : -5;
  if (read && plan.faults.claimMore > 0 && code == 0) moved = std::min(len, moved + plan.faults.claimMore);
  bool gap = gapLen > 0 && moved == len;
  // An overstating gateway believes its own count: its offset follows it.
  of->offset = plan.fileBase + moved + uint64_t(plan.faults.overstate) + (gap ? gapLen : 0);
  if (!read && moved > 0) {
    struct stat st;
    std::lock_guard<std::recursive_mutex> hold(gw_StoreLock());
    if (fstat(of->fd, &st) == 0) gw_StoreSetDataLength(of->path, uint64_t(st.st_size));
  }

  int32_t status = plan.faults.statusSet ? plan.faults.status : code;
  uint64_t extra = uint64_t(plan.faults.overstate);
  std::vector<iod_srcsinkreply_t> fileReply(1), netReply(sd.net.size());
  fileReply[0] = iod_srcsinkreply_t{0, status, moved + extra, nullptr};
  for (size_t i = 0; i < sd.net.size(); i++) {
    uint64_t lo, hi;
    uint64_t n = clip(sd.net[i], len, &lo, &hi) ? within(lo, hi, moved) : 0;
    netReply[i] = iod_srcsinkreply_t{0, status, n + extra, nullptr};
  }
  iod_reqspecreply_t spec;
  memset(&spec, 0, sizeof spec);
  spec.ReqReply_s.ReqReplyType = IOD_REQREPLY_GAPINFO;
  spec.ReqReply_s.Reply_u.GapInfo.Offset = 0;
  spec.ReqReply_s.Reply_u.GapInfo.Length = gapLen;

  api_quor_list_rply_t r;
  memset(&r, 0, sizeof r);
  r.theIOR.RequestID = iod->RequestID;
  r.theIOR.Flags = gap ? QUOR_IOR_GAPINFO : 0;
  r.theIOR.Status = status;
  r.theIOR.ReqSpecReply = gap ? &spec : nullptr;
  iod_srcsinkreply_t* fileList = replyList(&fileReply);
  iod_srcsinkreply_t* netList = replyList(&netReply);
  r.theIOR.SrcReplyLength = read ? 1 : int32_t(netReply.size());
  r.theIOR.SinkReplyLength = read ? int32_t(netReply.size()) : 1;
  r.theIOR.SrcReplyList = read ? fileList : netList;
  r.theIOR.SinkReplyList = read ? netList : fileList;

  conn->note += " movers=" + std::to_string(plan.jobs.size()) + " moved=" + std::to_string(moved);
  if (gap) conn->note += " gap=" + std::to_string(gapLen);
  if (!why.empty()) conn->note += " failed=" + why;
  if (plan.faults.statusSet) conn->note += " status=" + std::to_string(status);
  if (plan.faults.codeSet) conn->note += " code=" + std::to_string(code);
  if (!plan.faults.from.empty()) conn->note += " from=" + plan.faults.from;
  if (!plan.faults.oneFrom.empty()) conn->note += " onefrom=" + plan.faults.oneFrom;
  size_t broken = 0;
  for (const gw_mover_job_t& j : plan.jobs) broken += j.failed ? 1 : 0;
  if (broken > 0) conn->note += " broken=" + std::to_string(broken);
  reply->errorcode = code;
  xdrproc_t codec = read ? (xdrproc_t)qel_xdr_api_quor_ReadList_rply_t
                         : (xdrproc_t)qel_xdr_api_quor_WriteList_rply_t;
  return gw_ReplyWithBody(reply, codec, &r) < 0 ? -1 : 0;
}

int fileSize(const gw_openfile_t* of, uint64_t* size) {
  struct stat st;
  if (fstat(of->fd, &st) != 0) return -5;
  *size = uint64_t(st.st_size);
  return 0;
}

}  // namespace

int gw_HandleReadList(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  return listTransfer(conn, req, GW_MOVE_READ, reply);
}

int gw_HandleWriteList(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  return listTransfer(conn, req, GW_MOVE_WRITE, reply);
}

int gw_HandleLseek(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_Lseek_req_t* rq = static_cast<const api_quor_Lseek_req_t*>(req);
  gw_openfile_t* of = openFile(conn, rq->Fildes);
  if (!of || of->fd < 0) {
    reply->errorcode = -9;
    return 0;
  }
  uint64_t size = 0;
  int64_t base;
  switch (rq->Whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = int64_t(of->offset); break;
    case SEEK_END:
      if (fileSize(of, &size) < 0) {
        reply->errorcode = -5;
        return 0;
      }
      base = int64_t(size);
      break;
    default:
      reply->errorcode = -22;
      return 0;
  }
  int64_t pos;
  if (__builtin_add_overflow(base, rq->Offset, &pos) || pos < 0) {
    reply->errorcode = -22;
    return 0;
  }
  of->offset = uint64_t(pos);
  api_quor_Lseek_rply_t r;
  r.retval = pos;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_Lseek_rply_t, &r) < 0 ? -1 : 0;
}

int gw_HandleSetFileOffset(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_quor_SetFileOffset_req_t* rq = static_cast<const api_quor_SetFileOffset_req_t*>(req);
  gw_openfile_t* of = openFile(conn, rq->Fildes);
  if (!of || of->fd < 0) {
    reply->errorcode = -9;
    return 0;
  }
  uint64_t base = 0;
  if (rq->Whence == SEEK_CUR) {
    base = of->offset;
  } else if (rq->Whence == SEEK_END) {
    if (fileSize(of, &base) < 0) {
      reply->errorcode = -5;
      return 0;
    }
  } else if (rq->Whence != SEEK_SET) {
    reply->errorcode = -22;
    return 0;
  }
  uint64_t pos;
  bool bad = rq->Direction == 0   ? __builtin_add_overflow(base, rq->OffsetIn, &pos) ||
                                        pos > uint64_t(INT64_MAX)
             : rq->Direction == 1 ? rq->OffsetIn > base
                                  : true;
  if (bad) {
    reply->errorcode = -22;
    return 0;
  }
  if (rq->Direction == 1) pos = base - rq->OffsetIn;
  of->offset = pos;
  api_quor_SetFileOffset_rply_t r;
  r.OffsetOut = pos;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_SetFileOffset_rply_t, &r) < 0 ? -1
                                                                                          : 0;
}

void gw_NoteList(const api_msghdr_t*, const void* req, std::string* note) {
  const api_quor_list_req_t* rq = static_cast<const api_quor_list_req_t*>(req);
  const quor_IOD_t* iod = &rq->theIOD;
  const iod_srcsinkdesc_t* side = iod->Function == QUOR_IOD_WRITE ? iod->SinkDescList : iod->SrcDescList;
  if (side && side->SrcSinkAddr.Type == CLIENTFILE_ADDRESS)
    *note += " fildes=" + std::to_string(side->SrcSinkAddr.Addr_u.ClientFileAddr.FileDes) +
             " len=" + std::to_string(side->Length);
}
