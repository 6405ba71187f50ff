// Replies and task messages of gwsim handlers; see reply.h.
#include "reply.h"

#include <string.h>
#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "framing.h"
#include "journal.h"

int gw_ReplyWithBody(gw_reply_t* reply, xdrproc_t codec, void* rec) {
  if (gw_EncodeBody(codec, rec, &reply->body) < 0) return -1;
  reply->hasBody = 1;
  return 0;
}

static int send_bytes(gw_conn_t* conn, const char* data, size_t len) {
  if (conn->sink) {
    conn->sink->insert(conn->sink->end(), data, data + len);
    return 0;
  }
  return gw_SendAll(conn->fd, data, len);
}

int gw_SendReply(gw_conn_t* conn, gw_pending_t* p) {
  if (p->faults.delayMs > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(p->faults.delayMs));
  // Data workers answer beside the request loop: one message at a time.
  std::lock_guard<std::mutex> sending(conn->sendLock);
  api_msghdr_t hdr = p->hdr;
  if (p->faults.unsolicited) hdr.msgFlags |= API_MSGF_UNSOLICITED;
  std::vector<char> out;
  if (gw_EncodeHeader(&hdr, &out) < 0) return -1;
  if (p->faults.badSanity) memcpy(out.data(), "API_MSGX", API_MSGH_SANITY_LEN);
  size_t headerLen = out.size();
  out.insert(out.end(), p->body.begin(), p->body.end());
  size_t len = out.size();
  if (p->faults.dropHeader)
    len = headerLen / 2;
  else if (p->faults.dropBody)
    len = headerLen + p->body.size() / 2;
  if (send_bytes(conn, out.data(), len) < 0) return -1;
  if (p->faults.dropHeader || p->faults.dropBody) {
    if (conn->fd >= 0) shutdown(conn->fd, SHUT_RDWR);
    return -1;
  }
  return 0;
}

int gw_SendMessage(gw_conn_t* conn, const api_msghdr_t* hdr, xdrproc_t codec, void* rec) {
  gw_pending_t p;
  p.hdr = *hdr;
  p.faults = gw_reply_faults_t{};
  if (codec) {
    if (gw_EncodeBody(codec, rec, &p.body) < 0) return -1;
    p.hdr.msgFlags |= API_MSGF_BODY;
  }
  return gw_SendReply(conn, &p);
}

int gw_ReadTask(gw_conn_t* conn, uint16_t category, uint16_t function, api_msghdr_t* hdr,
                xdrproc_t codec, void* rec, int timeoutMs) {
  if (gw_ReaderWait(conn->reader, timeoutMs) <= 0) {
    gw_JournalLine("conn=%d task-timeout", conn->num);
    return -1;
  }
  int rc = gw_ReadHeader(conn->reader, hdr);
  if (rc == 1) return -1;
  if (rc < 0) {
    gw_JournalLine("conn=%d short-header", conn->num);
    return -1;
  }
  if (memcmp(hdr->sanity, API_MSGH_SANITY, API_MSGH_SANITY_LEN) != 0) {
    gw_JournalLine("conn=%d garbage-header", conn->num);
    return -1;
  }
  if (hdr->category != category || hdr->function != function ||
      !(hdr->msgFlags & API_MSGF_TASK)) {
    conn->pending = *hdr;
    conn->hasPending = 1;
    return 1;
  }
  if ((hdr->msgFlags & API_MSGF_BODY) && (!codec || !codec(gw_ReaderXdr(conn->reader), rec))) {
    gw_JournalLine("conn=%d cat=0x%04x fn=0x%04x id=%u flags=0x%08x bad-body", conn->num,
                   unsigned(hdr->category), unsigned(hdr->function), hdr->msgRequestID,
                   hdr->msgFlags);
    return -1;
  }
  return 0;
}
