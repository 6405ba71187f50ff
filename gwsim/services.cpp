// Plain services of gwsim.
#include "services.h"

#include <string.h>
#include <sys/random.h>

#include "config_values.h"
#include "reply.h"
#include "faults.h"

void gw_ServerState(const gw_config_t* cfg, int num, api_server_state_rply_t* st) {
  memset(st, 0, sizeof *st);
  st->sv_prot_major = cfg->site.sv_prot_major;
  st->sv_prot_minor = cfg->site.sv_prot_minor;
  st->sv_major = cfg->site.sv_major;
  st->sv_minor = cfg->site.sv_minor;
  st->sv_patch = cfg->site.sv_patch;
  st->quorDownFlag = gw_ConnectionDown(cfg, num) ? 1 : 0;
}

int gw_HandleSiteInfo(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  quor_site_info_t site = conn->cfg->site;
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_site_info_rply_t, &site);
}

int gw_HandleUniqueRequestID(gw_conn_t* conn, const api_msghdr_t*, void*, gw_reply_t* reply) {
  unsigned char b[16];
  size_t got = 0;
  while (got < sizeof b) {
    ssize_t n = getrandom(b + got, sizeof b - got, 0);
    if (n > 0) {
      got += size_t(n);
    } else {
      // No kernel randomness: the connection's generator still gives distinct ids.
      for (; got < sizeof b; got++) b[got] = (unsigned char)conn->rng();
    }
  }
  api_quor_GetUniqueRequestID_rply_t r;
  memset(&r, 0, sizeof r);
  quor_uuid_t* u = &r.RetReqid;
  u->time_low = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
  u->time_mid = uint16_t((b[4] << 8) | b[5]);
  u->time_hi_and_version = uint16_t((((b[6] << 8) | b[7]) & 0x0fff) | 0x4000);
  u->clock_seq_hi_and_reserved = uint8_t((b[8] & 0x3f) | 0x80);
  u->clock_seq_low = b[9];
  memcpy(u->node, b + 10, 6);
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_quor_GetUniqueRequestID_rply_t, &r);
}

int gw_HandleLookupHomeDir(gw_conn_t* conn, const api_msghdr_t*, void* req, gw_reply_t* reply) {
  const api_lookup_homedir_req_t* rq = static_cast<const api_lookup_homedir_req_t*>(req);
  const gw_user_t* u = gw_FindUser(conn->cfg, rq->principal);
  if (!u || u->home.empty()) {
    reply->errorcode = -2;
    return 0;
  }
  api_lookup_homedir_rply_t r;
  r.homeDir = const_cast<char*>(u->home.c_str());
  return gw_ReplyWithBody(reply, (xdrproc_t)qel_xdr_api_lookup_homedir_rply_t, &r);
}
