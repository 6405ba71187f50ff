// What a mover sends on a data connection, read the way the client reads
// it: the input is the byte stream a peer writes before it closes. The first
// two bytes choose the window (its offset and size) and the operation: data
// packets into a buffer, or the next message of either family. Nothing may
// land outside the window.
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "mvr_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 65536) return 0;
  const uint8_t how = data[0];
  const int window = 1 + data[1] * 64;  // 1 .. 16321 bytes
  const uint64_t xfer = 0x0102030405060708ULL;
  const uint64_t offset = (how & 2) ? 4096 : 0;
  data += 2;
  size -= 2;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
  std::thread writer([&] {
    size_t done = 0;
    while (done < size) {
      ssize_t n = send(sv[1], data + done, size - done, MSG_NOSIGNAL);
      if (n <= 0) break;
      done += size_t(n);
    }
    shutdown(sv[1], SHUT_WR);
  });
  // Guard bytes on both sides of the window catch a write outside it.
  const size_t guard = 64;
  std::vector<char> buf(guard + size_t(window) + guard, 0x5a);
  char* win = buf.data() + guard;
  if (how & 1) {
    int type = 0;
    initiator_msg_t init;
    pdata_hdr_t hdr;
    for (int i = 0; i < 64; i++) {
      int rc = mover_socket_recv_protmsg_timeout(sv[0], xfer, &type, &init, &hdr, 2);
      if (rc <= 0) break;
      FUZZ_CHECK((rc == MVRPROT_INITMSG_LEN && type == MVRPROT_MSG_INITIATOR) ||
                 (rc == PDATA_HDR_LEN && type == MVRPROT_MSG_PDATA && hdr.XferID == xfer));
    }
  } else {
    int got = -1;
    int rc = mover_socket_recv_data_timeout(sv[0], xfer, offset, win, window, &got, -1, 2);
    FUZZ_CHECK(got >= 0);
    FUZZ_CHECK(rc <= 0 || rc == got);
  }
  for (size_t i = 0; i < guard; i++) {
    FUZZ_CHECK(buf[i] == 0x5a);
    FUZZ_CHECK(buf[guard + size_t(window) + i] == 0x5a);
  }
  close(sv[0]);
  writer.join();
  close(sv[1]);
  return 0;
}
