// The client network interfaces a connection's data sockets use.
#include <stdio.h>
#include <stdlib.h>

#include <mutex>

#include "ozu_context.h"
#include "ozu_log.h"
#include "ozuvars.h"
#include "quorcfgx_prototypes.h"

std::mutex socketLock;

void ozu_BuildIfTable(void)
{
  ozu_context_t *ctx = sesskeyset.curContext;
  if (ctx == nullptr)
    return;
  std::lock_guard<std::mutex> hold(socketLock);
  if (ctx->nwifAddrList == nullptr) {
    ctx->network_rr_ptr = 0;
    ctx->network_if_count = 0;
    quorcfgx_ConfGetClientInterfaces(tcpHostName, ctx->quor_name, &ctx->network_if_count,
                                     &ctx->nwifAddrList, &ctx->nwifNames);
    if (debug >= 1) {
      fprintf(listF, "/debug/%s: %d local NICs found: ", "ozu_BuildIfTable", ctx->network_if_count);
      for (int i = 0; i < ctx->network_if_count; ++i) {
        char text[128] = "";
        char err[256];
        quor_net_getuniversaladdress(&ctx->nwifAddrList[i], text, sizeof text, err, sizeof err);
        fprintf(listF, "#%d: %s (%s)   ", i + 1, text,
                ctx->nwifNames && ctx->nwifNames[i] ? ctx->nwifNames[i] : "(null)");
      }
      fprintf(listF, "\n");
    }
  }
  if (ctx->network_if_count <= 0) {
    if (debug >= 2)
      fprintf(listF, "/debug/ozu_BuildIfTable: count = 0; using default entry\n");
    auto *one = static_cast<quor_sockaddr_t *>(malloc(sizeof(quor_sockaddr_t)));
    if (one == nullptr) {
      ozu_MallocError(long(sizeof(quor_sockaddr_t)), "ozu_BuildIfTable", __FILE__, __LINE__);
      return;
    }
    *one = tcpHostIP;
    free(ctx->nwifAddrList);
    ctx->nwifAddrList = one;
    ctx->nwifNames = nullptr;
    ctx->network_if_count = 1;
  }
}
