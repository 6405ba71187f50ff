// gwsim's request loop driven from a byte buffer, without a socket, as a
// fuzzer drives it: requests decode, reach their handlers and are answered
// into the buffer in order; the loop stops at bytes that are no request.
#include <gtest/gtest.h>

#include <vector>

#include "config.h"
#include "dispatch.h"
#include "msg_files.h"
#include "msg_namespace.h"
#include "raw_gateway.h"

namespace {

struct Header {
  uint32_t id, flags;
  int32_t err;
};

Header headerAt(const std::vector<char>& out, size_t at) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(out.data()) + at;
  return {be32(p + 8), be32(p + 12), int32_t(be32(p + 32))};
}

}  // namespace

TEST(GwsimServeBuffer, RequestsAreAnsweredInOrderUntilTheBytesEnd) {
  gw_config_t cfg;
  gw_ConfigDefaults(&cfg);
  gw_conn_t conn;
  gw_ConnInit(&conn, &cfg, 1, -1);

  char path[] = "/x";
  api_quor_ns_path_req_t stat{path};
  api_quor_Migrate_req_t mig{0, 0xFFFFFFFFu, 0};
  wire::Bytes in;
  auto add = [&](const wire::Bytes& b) { in.insert(in.end(), b.begin(), b.end()); };
  add(request(1, 0, 0, QEL_CAT_CORE, QEL_FN_CORE_Migrate, qel_xdr_api_quor_Migrate_req_t, &mig));
  add(request(2, 0, 0, QEL_CAT_CORE, QEL_FN_CORE_Stat, qel_xdr_api_quor_Stat_req_t, &stat));
  add(bare(3, 0x0500, 0x7777));
  add(bare(4, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID, 0x20000000u));  // no reply wanted
  add(bare(5, QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID));
  in.insert(in.end(), 36, 'z');  // no header: the loop ends here

  std::vector<char> out;
  size_t served = gw_ServeBuffer(&conn, reinterpret_cast<const char*>(in.data()), in.size(), &out);
  EXPECT_EQ(served, 5u);
  ASSERT_GE(out.size(), 4 * 36u);
  const Header want[] = {{1, 0, -13}, {2, 0, -13}, {3, 0, -5000}, {5, kBody, 0}};
  for (size_t i = 0; i < 4; i++) {
    Header h = headerAt(out, i * 36);
    EXPECT_EQ(h.id, want[i].id) << i;
    EXPECT_EQ(h.flags, want[i].flags) << i;
    EXPECT_EQ(h.err, want[i].err) << i;
  }
  EXPECT_GT(out.size(), 4 * 36u);  // the request id's body

  // The session lives on: served again, the same requests are answered again.
  std::vector<char> again;
  EXPECT_EQ(gw_ServeBuffer(&conn, reinterpret_cast<const char*>(in.data()), in.size(),
                           &again),
            5u);
  EXPECT_EQ(again.size(), out.size());
}
