// A stage-completion report as it arrives on the scheduler's callback
// socket: only exactly 60 bytes are read as one, and one that decodes
// encodes back to 60 bytes with the same fields.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quor_sched_internal.h"
#include "xdr_objects.h"

// A promise the code makes that does not hold: libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                       \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bfs_callback_ret_msg_t msg;
  int rc = sched_DecodeCallback(data, size, &msg);
  if (size != QEL_BFS_CALLBACK_RET_MSG_SIZE) FUZZ_CHECK(rc == -1);
  if (rc != 0) return 0;
  char buf[QEL_BFS_CALLBACK_RET_MSG_SIZE];
  XDR x;
  xdrmem_create(&x, buf, sizeof buf, XDR_ENCODE);
  FUZZ_CHECK(qel_xdr_bfs_callback_ret_msg_t(&x, &msg));
  FUZZ_CHECK(xdr_getpos(&x) == QEL_BFS_CALLBACK_RET_MSG_SIZE);
  xdr_destroy(&x);
  bfs_callback_ret_msg_t back;
  FUZZ_CHECK(sched_DecodeCallback(reinterpret_cast<const uint8_t*>(buf), sizeof buf, &back) == 0);
  FUZZ_CHECK(memcmp(&back.reqid, &msg.reqid, sizeof msg.reqid) == 0);
  FUZZ_CHECK(back.retcode == msg.retcode);
  FUZZ_CHECK(memcmp(back.bfobj.BfId.Bytes, msg.bfobj.BfId.Bytes, QUOROID_LEN) == 0);
  FUZZ_CHECK(back.bfobj.BfHash == msg.bfobj.BfHash && back.bfobj.ValidHash == msg.bfobj.ValidHash);
  return 0;
}
