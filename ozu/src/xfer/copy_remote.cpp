// Copies between two connections. The local method moves the bytes through
// the shell: a reader on the source's connection, a writer on the sink's
// (copy_ThroughShell). The server method has the sink's gateway listen and
// the source's movers send a list read's data straight to it, while the
// shell steers the passes and watches the sink's state.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <mutex>

#include "copy_engine.h"
#include "copy_remote.h"
#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_errors.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_convert.h"
#include "quor_api_internal.h"
#include "qel_threads.h"

int xqcp_LM_Main(transfer_t *ctl) { return copy_ThroughShell(ctl, "xqcp_LM_read_quor_thread"); }

namespace {

// The server method's settings and stripe array: read and made on its first
// copy of the process, kept after; one server-method copy at a time.
std::mutex serverLock;
int nw_stripe_width = -1;
int nw_blocksize = -1;
iod_stripe_addr_t *stripePtr = nullptr;

constexpr uint32_t kSSCopyAborted = 3;
constexpr uint32_t kSSCopyCompleted = 6;
constexpr uint32_t kSSCopyDetached = 7;

// What the two threads of one copy share beyond the record.
struct qel_copy {
  transfer_t *ctl;
  netaddress_t *listenAddr;  // this pass's, from the sink's gateway
  uint32_t listenCount;
  uint32_t handle;
  uint64_t gapsSoFar;  // every gap met by the passes before this one
  int sinkHandle;
  bool lastEndedInGap;  // the last pass stopped at a gap that reached the end
};

void raiseAbort(transfer_t *ctl)
{
  pthread_mutex_lock(&ctl->abortLock);
  ctl->abortSignalled = 1;
  pthread_mutex_unlock(&ctl->abortLock);
}

const char *num(uint64_t v, char *buf) { return u64tostr_r(v, buf); }

// Wakes the control thread's one-second wait when the read side ends.
void readEnded(transfer_t *ctl)
{
  pthread_mutex_lock(&ctl->controlLock);
  ctl->read_active = 0;
  pthread_cond_broadcast(&ctl->localFileCond);
  pthread_mutex_unlock(&ctl->controlLock);
}

void *read_control_thread(void *arg)
{
  auto *qc = static_cast<qel_copy *>(arg);
  transfer_t *ctl = qc->ctl;
  ctl->rwListFlags = 1;
  ctl->currentSinkOffset = 0;
  ctl->currentSrcOffset = 0;
  ctl->GapBytes = 0;
  ctl->gapHit = 0;
  ctl->bytesMoved = 0;

  iod_srcsinkdesc_t src, sink;
  memset(&src, 0, sizeof src);
  src.Length = ctl->requestedBytes;
  src.SrcSinkAddr.Type = CLIENTFILE_ADDRESS;
  src.SrcSinkAddr.Addr_u.ClientFileAddr.FileDes = ctl->quorFile.quorFD;
  src.SrcSinkAddr.Addr_u.ClientFileAddr.FileOffset = ctl->currentSrcAddr;
  ozu_context *sinkCtx = ozu_LookupConnection(qc->sinkHandle);
  buildSinkDesc(ctl, &sink, sinkCtx ? &sinkCtx->siteInfo : nullptr, qc->listenAddr,
                qc->listenCount, stripePtr, nw_stripe_width, uint64_t(nw_blocksize));

  if (debug >= 3) {
    char a[32], b[32], c[32], d[32];
    ozu_LockListingFile();
    fprintf(listF, "/debug/issuing quor_ReadList call for %s bytes.\n", num(ctl->requestedBytes, a));
    fprintf(listF, "       offset: %s  total bytes moved so far: %s Gap: %s\n",
            num(ctl->currentSrcAddr, b), num(ctl->totalBytesMoved, c), num(qc->gapsSoFar, d));
    if (sink.SrcSinkAddr.Type == NET_ADDRESS) {
      fprintf(listF, "sending NET_ADDRRESS address\n");
    } else {
      const iod_stripe_addr_t *s = &sink.SrcSinkAddr.Addr_u.StripeAddr;
      fprintf(listF,
              "[IOD] Sending STRIPE_ADDRESS Flags=0x%8.8x BlockSize: %d,%d StripeWidth %d,%d "
              "AddrListLength: %d\n",
              s->Flags, int(s->BlockSize >> 32), int(s->BlockSize & 0xffffffffu),
              int(uint64_t(s->StripeWidth) >> 32), int(s->StripeWidth & 0xffffffffu),
              s->AddrListLength);
      fprintf(listF, "sending NET_ADDRESS address type\n");
    }
    char *id = quor_RequestIDtoString(ctl->requestId);
    char uaddr[128] = "";
    if (qc->listenCount > 0)
      quor_net_getuniversaladdress(&qc->listenAddr[0].SockAddr, uaddr, sizeof uaddr, nullptr, 0);
    fprintf(listF, "[IOD] Request ID: %s\n", id ? id : "");
    fprintf(listF, "      Control Address %s\n", uaddr);
    free(id);
    ozu_UnlockListingFile();
  }

  quor_IOD_t iod;
  memset(&iod, 0, sizeof iod);
  iod.RequestID = ctl->requestId;
  iod.Function = QUOR_IOD_READ;
  iod.Flags = 0;
  iod.SrcDescLength = 1;
  iod.SinkDescLength = 1;
  iod.SrcDescList = &src;
  iod.SinkDescList = &sink;
  quor_IOR_t ior;
  memset(&ior, 0, sizeof ior);
  int rc = quor_ReadList(&iod, uint32_t(ctl->rwListFlags), &ior);
  ctl->stopTime = ozu_GetTimestamp();
  if (ior.SinkReplyList) {
    ctl->bytesMoved = ior.SinkReplyList->BytesMoved;
    ctl->totalBytesMoved += ctl->bytesMoved;
    if (debug >= 3) {
      char a[32];
      fprintf(listF, "/debug/IOR returned %s bytes moved\n", num(ctl->bytesMoved, a));
    }
  }
  if (rc < 0) {
    ozu_LockListingFile();
    fprintf(listF, "%s\n", quor_perror(rc, "read_control_thread", "read_quor_parallel", nullptr));
    if (ior.Status != 0) {
      char a[32];
      fprintf(listF, "IOR status: %d\n", ior.Status);
      fprintf(listF, "Returned flags: 0x%x  Bytes moved: %s\n", ior.Flags, num(ctl->bytesMoved, a));
    }
    ozu_UnlockListingFile();
    raiseAbort(ctl);
  } else if ((ior.Flags & QUOR_IOR_GAPINFO) && ior.ReqSpecReply) {
    ctl->GapBytes = ior.ReqSpecReply->ReqReply_s.Reply_u.GapInfo.Length;
    ctl->gapHit = 1;
    if (debug >= 3) {
      char a[32], b[32];
      fprintf(listF, "/debug/quor_ReadList - GAP hit at offset %s, length=%s\n",
              num(ctl->currentSrcAddr + ctl->bytesMoved, a), num(ctl->GapBytes, b));
    }
  }
  free_quor_ior_mem(&ior);
  if (debug >= 3)
    fprintf(listF, "/debug/read_control_thread exiting\n");
  readEnded(ctl);
  return nullptr;
}

// One query of the sink's copy: 0 with *state and *bytes, or the failure.
int querySink(uint32_t flags, uint32_t handle, int *state, uint64_t *bytes)
{
  int err = 0;
  uint32_t info = 0;
  char msg[100];
  return quorex_QueryCopy(flags, handle, sizeof msg, &err, state, &info, bytes, msg);
}

void *write_control_thread(void *arg)
{
  auto *qc = static_cast<qel_copy *>(arg);
  transfer_t *ctl = qc->ctl;
  // Every call of this thread to a gateway goes to the sink's; the list read
  // goes to the source's by its descriptor.
  xfer_conn_hold hold(qc->sinkHandle);
  ctl->rwListFlags = 1;
  ctl->read_active = 0;
  pthread_t reader{};
  bool readerJoinable = false;
  const uint64_t length = ctl->transferLength;
  while (ctl->abortSignalled == 0 && ctl->totalBytesMoved + qc->gapsSoFar < length) {
    // The next pass starts after everything moved and every gap met, so no
    // byte is asked for twice.
    uint64_t done = ctl->totalBytesMoved + qc->gapsSoFar;
    ctl->requestId = quor_GetUniqueRequestID();
    ctl->currentSrcAddr = ctl->srcOffset + done;
    ctl->currentFileAddr = ctl->sinkOffset + done;
    ctl->requestedBytes = length - done;
    ctl->currentSrcOffset = 0;
    ctl->currentSinkOffset = 0;
    uint64_t movedBefore = ctl->totalBytesMoved;

    qc->listenCount = uint32_t(nw_stripe_width);
    qc->listenAddr = nullptr;
    qc->handle = 0;
    int rc = hold.ok ? quorex_CopyRemoteFile(0, &qc->listenCount, ctl->quor2ndFile->quorFD,
                                             quor_RequestIDtoU64(ctl->requestId),
                                             ctl->currentFileAddr, ctl->requestedBytes,
                                             ctl->quorFile.quorPath, &qc->handle, &qc->listenAddr)
                     : -9;
    if (rc == 0 && qc->listenCount == 0)
      rc = -5;  // nowhere to send the data
    if (rc != 0) {
      fprintf(listF, "*** Error %d trying to initiate write side of transfer\n", rc);
      free(qc->listenAddr);
      qc->listenAddr = nullptr;
      raiseAbort(ctl);
      break;
    }
    ctl->transfer_active = 1;
    ctl->write_active = 1;
    ctl->read_active = 1;
    if (ozu_ThreadCreate(&reader, nullptr, read_control_thread, qc) != 0) {
      fprintf(listF, "*** error %d creating read thread...\n", errno);
      ctl->read_active = 0;
      raiseAbort(ctl);
      quorex_CancelCopy(0, qc->handle);
      ctl->write_active = 0;
      ctl->transfer_active = 0;
      free(qc->listenAddr);
      qc->listenAddr = nullptr;
      break;
    }
    readerJoinable = true;
    ozu_ThreadYield();
    while (ctl->transfer_active && ctl->read_active && ctl->abortSignalled == 0) {
      int state = 0;
      uint64_t bytes = 0;
      rc = querySink(0, qc->handle, &state, &bytes);
      if (rc < 0) {
        fprintf(listF, "*** internal error %d getting status from server\n", rc);
        fprintf(listF, "    [presuming that copy was aborted...]\n");
        raiseAbort(ctl);
        ctl->write_active = 0;
        break;
      }
      if (uint32_t(state) == kSSCopyAborted || uint32_t(state) == kSSCopyDetached) {
        fprintf(listF, "*** Transfer cancelled by server side.\n");
        raiseAbort(ctl);
        ctl->write_active = 0;
        break;
      }
      if (uint32_t(state) == kSSCopyCompleted) {
        if (debug >= 1) {
          char a[32];
          fprintf(listF, "/debug/ transfer completed normally. Transferred %s bytes\n",
                  num(bytes, a));
        }
        ctl->transfer_active = 0;
        ctl->write_active = 0;
      }
      ctl->currentSrcOffset = ctl->currentSrcAddr + bytes;
      if (interrupted) {
        interrupted = 0;
        if (ozu_ShouldAbortTransfer("xqcp", "") == 0) {
          fprintf(listF, "Sending <cancel copy> request\n");
          quorex_CancelCopy(2, qc->handle);
        }
      }
      if (!ctl->transfer_active)
        break;
      // A second between polls, cut short when the read side ends.
      struct timespec until = qelapi_Deadline(1);
      pthread_mutex_lock(&ctl->controlLock);
      while (ctl->read_active && ctl->abortSignalled == 0 &&
             pthread_cond_timedwait(&ctl->localFileCond, &ctl->controlLock, &until) == 0) {
      }
      pthread_mutex_unlock(&ctl->controlLock);
    }
    if (debug >= 3)
      fprintf(listF, "/debug/joining read thread (inner loop)\n");
    pthread_join(reader, nullptr);
    readerJoinable = false;
    free(qc->listenAddr);
    qc->listenAddr = nullptr;

    if (ctl->write_active) {
      if (ctl->abortSignalled == 0) {
        if (debug >= 3)
          fprintf(listF, "/debug/waiting for server side - sending completion notification \n");
        int state = 0;
        uint64_t bytes = 0;
        rc = querySink(5, qc->handle, &state, &bytes);
        ctl->write_active = 0;
        ctl->transfer_active = 0;
        if (rc < 0 || uint32_t(state) == kSSCopyAborted || uint32_t(state) == kSSCopyDetached) {
          fprintf(listF, "*** Transfer cancelled by write side after normal read...\n");
          raiseAbort(ctl);
          break;
        }
        if (uint32_t(state) == kSSCopyCompleted && debug >= 1) {
          char a[32];
          fprintf(listF, "/debug/ transfer completed normally. Transferred %s bytes\n",
                  num(bytes, a));
        }
      } else {
        if (debug >= 1)
          fprintf(listF, "/debug/sending <cancel> to server \n");
        quorex_CancelCopy(0, qc->handle);
        ctl->write_active = 0;
        ctl->transfer_active = 0;
        break;
      }
    }
    if (ctl->abortSignalled)
      break;
    qc->gapsSoFar += ctl->gapHit ? ctl->GapBytes : 0;
    qc->lastEndedInGap = ctl->gapHit && ctl->GapBytes > 0 &&
                         ctl->totalBytesMoved + qc->gapsSoFar >= length;
    // A pass that moved nothing and met no gap would be asked again forever.
    if (ctl->totalBytesMoved == movedBefore && !(ctl->gapHit && ctl->GapBytes > 0)) {
      char a[32];
      fprintf(listF, "*** Error %d: no data moved at offset %s\n", -5,
              num(ctl->currentSrcAddr, a));
      raiseAbort(ctl);
      break;
    }
  }
  ctl->transfer_active = 0;
  if (readerJoinable) {
    if (debug >= 3)
      fprintf(listF, "/debug/rejoining read thread...\n");
    pthread_join(reader, nullptr);
  }
  return nullptr;
}

// The stripe settings, read once per process.
int readStripeSettings()
{
  if (nw_stripe_width < 0) {
    const char *w = getenv("QUOR_STRIPE_WIDTH");
    int width = w ? atoi(w) : 1;
    nw_stripe_width = std::clamp(width, 1, 32);
    if (debug >= 2)
      fprintf(listF, "[xqcp_QEL_Main]setting stripeaddr width=%d\n", nw_stripe_width);
    const char *b = getenv("QUOR_BLOCKSIZE");
    long bs = b ? atol(b) : 65536;
    nw_blocksize = bs < 1 || bs > 0x2000000 ? 65536 : int(bs);
    if (debug >= 2)
      fprintf(listF, "[xqcp_QEL_Main]setting stripeaddr blocksize=%d\n", nw_blocksize);
    stripePtr = static_cast<iod_stripe_addr_t *>(
        calloc(size_t(nw_stripe_width), sizeof(iod_stripe_addr_t)));
    if (stripePtr == nullptr) {
      fprintf(stderr, "*** [xqcp_QEL_Main] unable to allocate %zu bytes\n",
              size_t(nw_stripe_width) * sizeof(iod_stripe_addr_t));
      nw_stripe_width = -1;
      return -1;
    }
  }
  return 0;
}

// Writes one zero byte at the end of the copied range of the sink: 0, or
// -1 after the library's message.
int endSinkWithZero(transfer_t *ctl)
{
  int fd = ctl->quor2ndFile->quorFD;
  uint64_t last = ctl->sinkOffset + ctl->transferLength - 1;
  int64_t at = quor_Lseek(fd, int64_t(last), SEEK_SET);
  ssize_t n = at == int64_t(last) ? quor_Write(fd, "", 1) : ssize_t(at < 0 ? at : -5);
  if (n == 1)
    return 0;
  char a[32], msg[256];
  snprintf(msg, sizeof msg, "writing 1 bytes at offset %s", num(last, a));
  fprintf(listF, "%s\n", quor_perror(int(n), "quor_Write", msg, nullptr));
  return -1;
}

}  // namespace

int xqcp_QEL_Main(transfer_t *ctl)
{
  std::lock_guard<std::mutex> one(serverLock);
  if (readStripeSettings() < 0)
    return -1;
  ctl->controlSockCount = 0;
  ctl->controlSockAddr = nullptr;
  // The record's locks and conditions; made once, released with it.
  if (ozu_InitXferLocks(ctl) < 0)
    return -1;
  ctl->transfer_active = 1;
  ctl->abortSignalled = 0;
  ctl->startTime = ozu_GetTimestamp();
  ctl->overheadTime = 0;
  ctl->totalBytesMoved = 0;
  qel_copy qc{};
  qc.ctl = ctl;
  qc.sinkHandle = ctl->quor2ndFile->conHandle;
  pthread_t writer;
  int result = -1;
  // A control thread that cannot start fails the copy at once.
  if (ozu_ThreadCreate(&writer, nullptr, write_control_thread, &qc) != 0) {
    fprintf(listF, "*** error %d creating write control thread...\n", errno);
  } else {
    pthread_join(writer, nullptr);
    if (ctl->abortSignalled == 0 && ctl->totalBytesMoved + qc.gapsSoFar >= ctl->transferLength) {
      if (debug >= 1) {
        char a[32];
        fprintf(listF,
                "/debug/xfer completed normally, %s bytes transferred. Setting <success>\n",
                num(ctl->totalBytesMoved, a));
      }
      result = 0;
      // A source that ends in a hole: nothing was sent for it, so the sink
      // would stay short. Its last byte, a zero, gives it its length.
      if (qc.gapsSoFar > 0 && qc.lastEndedInGap && endSinkWithZero(ctl) < 0)
        result = -1;
    }
  }
  ctl->transfer_active = 0;
  return result;
}
