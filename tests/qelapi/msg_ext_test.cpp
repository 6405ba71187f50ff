// Gateway extension records: golden wire forms written out by hand, round
// trips of the rest, and refusal of broken input.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "codec_cases.h"
#include "msg_ext.h"
#include "wire.h"

using wire::B;
using wire::bad;
using wire::Bytes;
using wire::encodes;
using wire::FamilyGuard;
using wire::repeat;
using wire::row;
using wire::v4;

namespace {

void fill_cos(quor_cos_md_t& c, uint32_t id, const char* name) {
  c.COSId = id;
  c.HierId = 2;
  strcpy(c.COSName, name);
  c.OptimumAccessSize = 3;
  c.Flags = 4;
  c.MinFileSize = 5;
  c.MaxFileSize = 0x100000006ull;
  c.AccessFrequency = 7;
  c.TransferRate = 8;
  c.AvgLatency = 9;
  c.WriteOps = 10;
  c.ReadOps = 11;
  c.StageCode = 12;
  c.AllocMethod = 13;
  c.FileHashType = QUOR_HASH_SHA1;
  c.MigrOrder = 99;  // not sent
}

// fill_cos as written out from the field table.
Bytes cos_wire(uint32_t id, const char* name) {
  return B()
      .u32(id)
      .u32(2)
      .fstr(name)
      .u32(3)
      .u32(4)
      .u64(5)
      .u64(0x100000006ull)
      .u32(7)
      .u32(8)
      .u32(9)
      .u32(10)
      .u32(11)
      .u32(12)
      .u32(13)
      .i32(1);
}

cos_list_entry_t* cos_entries(int n) {
  auto* e = static_cast<cos_list_entry_t*>(calloc(size_t(n), sizeof(cos_list_entry_t)));
  for (int i = 0; i < n; i++) {
    fill_cos(e[i].cos_entry, uint32_t(i + 1), "cos");
    e[i].flags = uint32_t(i);
    e[i].subsys_count = i;
    if (i > 0) {
      e[i].subsys_id_list = static_cast<int64_t*>(calloc(size_t(i), sizeof(int64_t)));
      for (int j = 0; j < i; j++) e[i].subsys_id_list[j] = j + 1;
    }
  }
  return e;
}

}  // namespace

// ---- classes of service ----

TEST(XdrExt, CosListEntryRepeatsItsIdCount) {
  cos_list_entry_t e{};
  e.flags = 0x9;
  fill_cos(e.cos_entry, 21, "tape2");
  e.copies = 2;
  e.media_type = 30;
  e.media_subtype = 31;
  e.subsys_count = 2;
  int64_t ids[] = {0x100000005ll, -1};  // only the low 32 bits travel
  e.subsys_id_list = ids;
  api_get_coslist_rply_t r{1, &e};
  Bytes want = B()
                   .i32(1)
                   .u32(0x9)
                   .cat(cos_wire(21, "tape2"))
                   .u32(2)
                   .u32(30)
                   .u32(31)
                   .i32(2)
                   .u32(2)
                   .i32(5)
                   .i32(-1);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_get_coslist_rply_t, &r, &ok)), wire::hex(want));
  EXPECT_TRUE(ok);

  api_get_coslist_rply_t got{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_get_coslist_rply_t, want, &got, &used));
  EXPECT_EQ(used, want.size());
  ASSERT_EQ(got.entry_count, 1);
  ASSERT_NE(got.cos_entries, nullptr);
  const cos_list_entry_t& g = got.cos_entries[0];
  EXPECT_EQ(g.flags, 0x9u);
  EXPECT_EQ(g.cos_entry.COSId, 21u);
  EXPECT_STREQ(g.cos_entry.COSName, "tape2");
  EXPECT_EQ(g.cos_entry.MaxFileSize, 0x100000006ull);
  EXPECT_EQ(g.cos_entry.FileHashType, QUOR_HASH_SHA1);
  EXPECT_EQ(g.cos_entry.MigrOrder, 0u);
  EXPECT_EQ(g.copies, 2u);
  EXPECT_EQ(g.media_subtype, 31u);
  ASSERT_EQ(g.subsys_count, 2);
  EXPECT_EQ(g.subsys_id_list[0], 5);
  EXPECT_EQ(g.subsys_id_list[1], -1);
  xdr_free((xdrproc_t)qel_xdr_api_get_coslist_rply_t, reinterpret_cast<char*>(&got));
  EXPECT_EQ(got.cos_entries, nullptr);
}

TEST(XdrExt, CosListEdges) {
  // No subsystems: no id array at all.
  cos_list_entry_t e{};
  fill_cos(e.cos_entry, 1, "");
  Bytes want = B().u32(0).cat(cos_wire(1, "")).u32(0).u32(0).u32(0).i32(0);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_cos_list_entry_t, &e, &ok)), wire::hex(want));
  cos_list_entry_t back{};
  ASSERT_TRUE(wire::decode(qel_xdr_cos_list_entry_t, want, &back));
  EXPECT_EQ(back.subsys_id_list, nullptr);

  // Fewer ids than slots: the count is what the array held.
  cos_list_entry_t part{};
  Bytes fewer = B().u32(0).cat(cos_wire(1, "")).u32(0).u32(0).u32(0).i32(3).u32(1).i32(44);
  ASSERT_TRUE(wire::decode(qel_xdr_cos_list_entry_t, fewer, &part));
  ASSERT_EQ(part.subsys_count, 1);
  EXPECT_EQ(part.subsys_id_list[0], 44);
  xdr_free((xdrproc_t)qel_xdr_cos_list_entry_t, reinterpret_cast<char*>(&part));

  // An empty list sets the pointer to null.
  cos_list_entry_t sentinel{};
  api_get_coslist_rply_t none{};
  none.cos_entries = &sentinel;
  ASSERT_TRUE(wire::decode(qel_xdr_api_get_coslist_rply_t, B().i32(0), &none));
  EXPECT_EQ(none.cos_entries, nullptr);
}

TEST(XdrExt, SelectCosRequest) {
  api_selectcos_req_t r{0, nullptr, 0x200000000ull, 10, 20, 30, -1, 5};
  Bytes plain = B().u32(0).u64(0x200000000ull).u32(10).u32(20).u32(30).i32(-1).u32(5);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_selectcos_req_t, &r, &ok)), wire::hex(plain));
  EXPECT_TRUE(ok);

  char name[] = "fast";
  api_selectcos_req_t n{8, name, 1, 2, 3, 4, 5, 6};
  Bytes named = B().u32(8).str("fast").u64(1).u32(2).u32(3).u32(4).i32(5).u32(6);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_selectcos_req_t, &n, &ok)), wire::hex(named));
  api_selectcos_req_t got{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_selectcos_req_t, named, &got));
  EXPECT_EQ(got.cosNameLen, 8u);
  EXPECT_STREQ(got.cosList, "fast");
  EXPECT_EQ(got.subsysId, 6u);
  xdr_free((xdrproc_t)qel_xdr_api_selectcos_req_t, reinterpret_cast<char*>(&got));
  EXPECT_EQ(got.cosList, nullptr);
}

TEST(XdrExt, SelectCosReplyIsHintsThenPriorities) {
  api_selectcos_rply_t r{};
  r.HintsIn.COSId = 4;
  strcpy(r.HintsIn.COSName, "d");
  r.HintsIn.MinFileSize = 1;
  r.HintsIn.MaxFileSize = 2;
  r.HintsIn.StripeLength = 0x300000000ull;
  r.HintsIn.FamilyId = 9;
  r.HintPriorities.COSIdPriority = 1;
  r.HintPriorities.FamilyIdPriority = 14;
  Bytes want = B()
                   .u32(4)
                   .fstr("d")
                   .u32(0)
                   .u64(0)
                   .u64(1)
                   .u64(2)
                   .zeros(7 * 4)
                   .u64(0x300000000ull)
                   .u32(9)
                   .u32(1)
                   .zeros(12 * 4)
                   .u32(14);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_selectcos_rply_t, &r, &ok)), wire::hex(want));
}

TEST(XdrExt, NamedCosLists) {
  char a[] = "fast", b[] = "archive-long";
  char* names[] = {a, b};
  api_named_coslists_rply_t r{2, names};
  Bytes want = B().u32(2).i32(4).str("fast").i32(12).str("archive-long");
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_named_coslists_rply_t, &r, &ok)),
            wire::hex(want));
  EXPECT_TRUE(ok);
  api_named_coslists_rply_t got{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_named_coslists_rply_t, want, &got));
  ASSERT_EQ(got.entry_count, 2u);
  EXPECT_STREQ(got.list_entries[0], "fast");
  EXPECT_STREQ(got.list_entries[1], "archive-long");
  xdr_free((xdrproc_t)qel_xdr_api_named_coslists_rply_t, reinterpret_cast<char*>(&got));

  api_named_coslists_rply_t none{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_named_coslists_rply_t, B().u32(0), &none, &used));
  EXPECT_EQ(used, 4u);
  EXPECT_EQ(none.list_entries, nullptr);

  char ln[] = "fast";
  api_named_cos_info_req_t q{ln};
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_named_cos_info_req_t, &q, &ok)),
            wire::hex(B().u32(4).str("fast")));
  api_named_cos_info_req_t nolist{nullptr};
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_named_cos_info_req_t, &nolist, &ok)),
            wire::hex(B().u32(0)));
  EXPECT_TRUE(ok);

  uint32_t ids[] = {3, 0xFFFFFFFF};
  api_named_cos_info_rply_t info{2, ids};
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_named_cos_info_rply_t, &info, &ok)),
            wire::hex(B().u32(2).u32(3).u32(0xFFFFFFFF)));
}

TEST(XdrExt, TransferConcurrencyTable) {
  api_concurrent_xfer_rply_t empty{};
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_concurrent_xfer_rply_t, &empty, &ok)),
            wire::hex(B().i32(0)));
  EXPECT_TRUE(ok);
  api_concurrent_xfer_rply_t none{};
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_concurrent_xfer_rply_t, B().i32(0), &none, &used));
  EXPECT_EQ(used, 4u);
  EXPECT_EQ(none.xfer_list, nullptr);

  xfer_size_to_count_t rows[2] = {};
  rows[0] = {12, 4, 0, 1 << 20, 3, 7, nullptr, nullptr, pthread_self()};  // queue state stays home
  rows[1].cfg_line_num = 0;
  rows[1].max_xfers = 20;
  rows[1].min_size = 0;
  rows[1].max_size = 0;
  api_concurrent_xfer_rply_t t{2, rows};
  Bytes want = B().i32(2).i32(12).i32(4).u64(0).u64(1 << 20).i32(0).i32(20).u64(0).u64(0);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_concurrent_xfer_rply_t, &t, &ok)),
            wire::hex(want));
  api_concurrent_xfer_rply_t got{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_concurrent_xfer_rply_t, want, &got));
  ASSERT_EQ(got.entry_count, 2);
  EXPECT_EQ(got.xfer_list[0].cfg_line_num, 12);
  EXPECT_EQ(got.xfer_list[0].max_size, 1u << 20);
  EXPECT_EQ(got.xfer_list[0].active_xfers, 0);
  EXPECT_EQ(got.xfer_list[1].max_xfers, 20);
  xdr_free((xdrproc_t)qel_xdr_api_concurrent_xfer_rply_t, reinterpret_cast<char*>(&got));
}

// ---- copies between gateways ----

TEST(XdrExt, CopyRemoteRequestAndReply) {
  FamilyGuard fam("ipv4_only");
  char path[] = "/src/file";
  api_copy_remote_req_t q{0, 5, 4, 0x1122334455667788ull, 10, 1 << 30, path};
  Bytes wantq = B()
                    .u32(0)
                    .i32(5)
                    .u32(4)
                    .u64(0x1122334455667788ull)
                    .u64(10)
                    .u64(1 << 30)
                    .str("/src/file");
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_copy_remote_req_t, &q, &ok)), wire::hex(wantq));
  EXPECT_TRUE(ok);

  api_copy_remote_rply_t r{};
  r.copyHandle = 77;
  r.listen_count = 1;
  r.listen_addr[0].SockTransferID = 0xABCD;
  r.listen_addr[0].SockAddr = v4("127.0.0.1", 1217);
  r.listen_addr[0].SockOffset = 0x100000000ull;
  Bytes wantr = B()
                    .u32(77)
                    .u32(1)
                    .u64(0xABCD)
                    .u32(1)
                    .raw({0x7F, 0, 0, 1})
                    .u32(1217)
                    .u64(0x100000000ull);
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_copy_remote_rply_t, &r, &ok)), wire::hex(wantr));
  EXPECT_TRUE(ok);
  auto* got = static_cast<api_copy_remote_rply_t*>(calloc(1, sizeof(api_copy_remote_rply_t)));
  ASSERT_TRUE(wire::decode(qel_xdr_api_copy_remote_rply_t, wantr, got));
  EXPECT_EQ(got->copyHandle, 77u);
  ASSERT_EQ(got->listen_count, 1u);
  EXPECT_EQ(got->listen_addr[0].SockTransferID, 0xABCDu);
  EXPECT_EQ(quor_net_getport(&got->listen_addr[0].SockAddr, nullptr, 0), 1217);
  EXPECT_EQ(got->listen_addr[0].SockOffset, 0x100000000ull);
  free(got);

  api_copy_remote_rply_t none{};
  none.copyHandle = 3;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_copy_remote_rply_t, &none, &ok)),
            wire::hex(B().u32(3).u32(0)));
}

TEST(XdrExt, QueryCopyReplySendsTheWholeInfoText) {
  api_query_copy_rply_t r{};
  r.copyState = 2;
  r.errorCode = -5;
  r.stateInfo = 1;
  r.bytesXferred = 0x500000000ull;
  strcpy(r.infostring, "moving");
  r.infostring[99] = 'z';  // whatever follows the NUL travels too
  Bytes text(100, 0);
  memcpy(text.data(), "moving", 6);
  text[99] = 'z';
  Bytes want = B().u32(2).i32(-5).u32(1).u64(0x500000000ull).cat(text);
  bool ok = false;
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_query_copy_rply_t, &r, &ok)), wire::hex(want));
  api_query_copy_rply_t got{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_query_copy_rply_t, want, &got));
  EXPECT_STREQ(got.infostring, "moving");
  EXPECT_EQ(got.infostring[99], 'z');
  EXPECT_EQ(got.errorCode, -5);

  api_copy_acl_req_t acl{};
  acl.flags = 1;
  strcpy(acl.srcPath, "/a");
  strcpy(acl.sinkPath, "/bb");
  EXPECT_EQ(wire::hex(wire::encode(qel_xdr_api_copy_acl_req_t, &acl, &ok)),
            wire::hex(B().u32(1).fstr("/a").fstr("/bb")));
}

TEST(XdrExt, RoundTrips) {
  FamilyGuard fam("ipv4_only");
  const std::vector<wire::Case> rows = {
      row<api_selectcos_req_t>("selectcos, name as long as its bound",
                               qel_xdr_api_selectcos_req_t,
                               [](api_selectcos_req_t& r) {
                                 r.cosNameLen = 5;
                                 r.cosList = strdup("12345");
                                 r.copies = 2;
                               }),
      row<api_selectcos_rply_t>("selectcos reply", qel_xdr_api_selectcos_rply_t,
                                [](api_selectcos_rply_t& r) {
                                  r.HintsIn.COSId = 1;
                                  strcpy(r.HintsIn.COSName, repeat('c', 31).c_str());
                                  r.HintPriorities.MaxFileSizePriority = 3;
                                }),
      row<api_get_coslist_req_t>("coslist request", qel_xdr_api_get_coslist_req_t,
                                 [](api_get_coslist_req_t& r) {
                                   r = {1, 0, 500, 600, 7};
                                 }),
      row<api_get_coslist_rply_t>("coslist of 4", qel_xdr_api_get_coslist_rply_t,
                                  [](api_get_coslist_rply_t& r) {
                                    r.entry_count = 4;
                                    r.cos_entries = cos_entries(4);
                                  }),
      row<api_named_coslists_rply_t>("named lists", qel_xdr_api_named_coslists_rply_t,
                                     [](api_named_coslists_rply_t& r) {
                                       r.entry_count = 3;
                                       r.list_entries =
                                           static_cast<char**>(calloc(3, sizeof(char*)));
                                       r.list_entries[0] = strdup("");
                                       r.list_entries[1] = strdup("x");
                                       r.list_entries[2] = strdup("three");
                                     }),
      row<api_named_cos_info_req_t>("named info request", qel_xdr_api_named_cos_info_req_t,
                                    [](api_named_cos_info_req_t& r) {
                                      r.listName = strdup("list1");
                                    }),
      row<api_named_cos_info_rply_t>("named info", qel_xdr_api_named_cos_info_rply_t,
                                     [](api_named_cos_info_rply_t& r) {
                                       r.count = 3;
                                       r.cosEntries =
                                           static_cast<uint32_t*>(calloc(3, sizeof(uint32_t)));
                                       r.cosEntries[2] = 8;
                                     }),
      row<api_concurrent_xfer_rply_t>("concurrency", qel_xdr_api_concurrent_xfer_rply_t,
                                      [](api_concurrent_xfer_rply_t& r) {
                                        r.entry_count = 3;
                                        r.xfer_list = static_cast<xfer_size_to_count_t*>(
                                            calloc(3, sizeof(xfer_size_to_count_t)));
                                        for (int i = 0; i < 3; i++) {
                                          r.xfer_list[i].cfg_line_num = i + 1;
                                          r.xfer_list[i].max_xfers = 4 - i;
                                          r.xfer_list[i].min_size = uint64_t(i) << 30;
                                          r.xfer_list[i].max_size = uint64_t(i + 1) << 30;
                                        }
                                      }),
      row<api_copy_remote_req_t>("copy request, longest path", qel_xdr_api_copy_remote_req_t,
                                 [](api_copy_remote_req_t& r) {
                                   r.listen_count = 64;
                                   r.remote_path = strdup(repeat('r', 1023).c_str());
                                 }),
      row<api_copy_remote_rply_t>("copy reply, 64 addresses", qel_xdr_api_copy_remote_rply_t,
                                  [](api_copy_remote_rply_t& r) {
                                    r.copyHandle = 1;
                                    r.listen_count = 64;
                                    for (int i = 0; i < 64; i++) {
                                      r.listen_addr[i].SockTransferID = uint64_t(i);
                                      r.listen_addr[i].SockAddr =
                                          v4("10.0.0.9", uint16_t(6000 + i));
                                      r.listen_addr[i].SockOffset = uint64_t(i) << 20;
                                    }
                                  }),
      row<api_query_copy_req_t>("query", qel_xdr_api_query_copy_req_t,
                                [](api_query_copy_req_t& r) { r = {5, 77}; }),
      row<api_query_copy_rply_t>("query reply", qel_xdr_api_query_copy_rply_t,
                                 [](api_query_copy_rply_t& r) {
                                   r.copyState = 6;
                                   memset(r.infostring, 'i', sizeof r.infostring);
                                 }),
      row<api_cancel_copy_req_t>("cancel", qel_xdr_api_cancel_copy_req_t,
                                 [](api_cancel_copy_req_t& r) { r = {2, 77}; }),
      row<api_copy_acl_req_t>("acl, longest paths", qel_xdr_api_copy_acl_req_t,
                              [](api_copy_acl_req_t& r) {
                                memset(r.srcPath, 's', 1023);
                                memset(r.sinkPath, 'k', 1023);
                              }),
  };
  wire::expect_cases(rows);
}

TEST(XdrExt, MalformedInputIsRefused) {
  FamilyGuard fam("ipv4_only");
  Bytes entry_head = B().u32(0).cat(cos_wire(1, "c")).u32(0).u32(0).u32(0);
  Bytes addr = B().u64(1).u32(1).raw({127, 0, 0, 1}).u32(80).u64(0);
  Bytes many;
  for (int i = 0; i < 65; i++) many.insert(many.end(), addr.begin(), addr.end());
  const std::vector<wire::Bad> cases = {
      bad<api_copy_remote_rply_t>("listen_count huge", qel_xdr_api_copy_remote_rply_t,
                                  B().u32(1).u32(0xFFFFFFFF).cat(addr)),
      bad<api_copy_remote_rply_t>("address state 2", qel_xdr_api_copy_remote_rply_t,
                                  B().u32(1).u32(1).u64(1).u32(2).zeros(16)),
      bad<api_copy_remote_req_t>("remote path of 1024", qel_xdr_api_copy_remote_req_t,
                                 B().u32(0).i32(0).u32(0).u64(0).u64(0).u64(0).str(
                                     repeat('r', 1024).c_str())),
      bad<api_get_coslist_rply_t>("entry_count negative", qel_xdr_api_get_coslist_rply_t,
                                  B().i32(-1).cat(entry_head).i32(0)),
      bad<api_get_coslist_rply_t>("entry_count huge", qel_xdr_api_get_coslist_rply_t,
                                  B().i32(0x7FFFFFFF).cat(entry_head).i32(0)),
      bad<api_get_coslist_rply_t>("subsys_count negative", qel_xdr_api_get_coslist_rply_t,
                                  B().i32(1).cat(entry_head).i32(-2).u32(0)),
      bad<api_get_coslist_rply_t>("id array above subsys_count", qel_xdr_api_get_coslist_rply_t,
                                  B().i32(1).cat(entry_head).i32(1).u32(2).i32(1).i32(2)),
      bad<api_get_coslist_rply_t>("subsys_count above the bound",
                                  qel_xdr_api_get_coslist_rply_t,
                                  B().i32(1).cat(entry_head).i32(EXT_LIST_MAX + 1).u32(1).i32(1)),
      bad<api_get_coslist_rply_t>("second entry cut", qel_xdr_api_get_coslist_rply_t,
                                  B().i32(2).cat(entry_head).i32(1).u32(1).i32(4).cat(
                                      entry_head).i32(2).u32(2).i32(1)),
      bad<api_get_coslist_rply_t>("COS name of 32", qel_xdr_api_get_coslist_rply_t,
                                  B().i32(1).u32(0).u32(1).u32(2).fstr(repeat('n', 32).c_str())),
      bad<api_concurrent_xfer_rply_t>("concurrency negative", qel_xdr_api_concurrent_xfer_rply_t,
                                      B().i32(-3).zeros(24)),
      bad<api_concurrent_xfer_rply_t>("concurrency huge", qel_xdr_api_concurrent_xfer_rply_t,
                                      B().i32(0x40000000).zeros(24)),
      bad<api_named_coslists_rply_t>("name above its length", qel_xdr_api_named_coslists_rply_t,
                                     B().u32(1).i32(3).str("four")),
      bad<api_named_coslists_rply_t>("name length negative", qel_xdr_api_named_coslists_rply_t,
                                     B().u32(1).i32(-1).str("a")),
      bad<api_named_coslists_rply_t>("name length huge", qel_xdr_api_named_coslists_rply_t,
                                     B().u32(1).i32(0x7FFFFFFF).u32(0x7FFFFFF0).zeros(8)),
      bad<api_named_coslists_rply_t>("count huge", qel_xdr_api_named_coslists_rply_t,
                                     B().u32(0xFFFFFFFF).i32(1).str("a")),
      bad<api_named_cos_info_req_t>("list name above its length",
                                    qel_xdr_api_named_cos_info_req_t, B().u32(2).str("abc")),
      bad<api_named_cos_info_rply_t>("ids beyond the stream", qel_xdr_api_named_cos_info_rply_t,
                                     B().u32(3).u32(1).u32(2)),
      bad<api_selectcos_req_t>("COS list above cosNameLen", qel_xdr_api_selectcos_req_t,
                               B().u32(2).str("abc").u64(0).zeros(20)),
      bad<api_copy_acl_req_t>("ACL path of 1024", qel_xdr_api_copy_acl_req_t,
                              B().u32(0).fstr(repeat('a', 1024).c_str()).fstr("b")),
      bad<api_copy_acl_req_t>("ACL path length negative", qel_xdr_api_copy_acl_req_t,
                              B().u32(0).i32(-1).fstr("b")),
  };
  wire::expect_all_refused(cases);
}

// More addresses than the record holds: the first 64 are kept, the rest
// read past, so the stream stays in step for the next message.
TEST(XdrExt, CopyReplyAbove64AddressesKeepsWhatFits) {
  FamilyGuard fam("ipv4_only");
  Bytes many;
  for (uint64_t i = 0; i < 70; i++) {
    Bytes addr = B().u64(i + 1).u32(1).raw({127, 0, 0, 1}).u32(80).u64(0);
    many.insert(many.end(), addr.begin(), addr.end());
  }
  B body = B().u32(9).u32(70).cat(many);
  auto* r = static_cast<api_copy_remote_rply_t*>(calloc(1, sizeof(api_copy_remote_rply_t)));
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_copy_remote_rply_t, body, r, &used));
  EXPECT_EQ(body.b.size(), used);
  EXPECT_EQ(9u, r->copyHandle);
  EXPECT_EQ(64u, r->listen_count);
  EXPECT_EQ(1u, r->listen_addr[0].SockTransferID);
  EXPECT_EQ(64u, r->listen_addr[63].SockTransferID);
  free(r);
}

TEST(XdrExt, EncodingRefusesWhatCannotTravel) {
  auto* r = static_cast<api_copy_remote_rply_t*>(calloc(1, sizeof(api_copy_remote_rply_t)));
  r->listen_count = 65;
  EXPECT_FALSE(encodes(qel_xdr_api_copy_remote_rply_t, r));
  free(r);
  std::string p1024 = repeat('r', 1024);
  api_copy_remote_req_t q{};
  q.remote_path = p1024.data();
  EXPECT_FALSE(encodes(qel_xdr_api_copy_remote_req_t, &q));
  q.remote_path = nullptr;
  EXPECT_FALSE(encodes(qel_xdr_api_copy_remote_req_t, &q));
  api_copy_acl_req_t acl{};
  memset(acl.sinkPath, 'k', sizeof acl.sinkPath);  // no room for the NUL
  strcpy(acl.srcPath, "/s");
  EXPECT_FALSE(encodes(qel_xdr_api_copy_acl_req_t, &acl));
  char name[] = "toolong";
  api_selectcos_req_t s{3, name, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(encodes(qel_xdr_api_selectcos_req_t, &s));
  api_selectcos_req_t s2{3, nullptr, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(encodes(qel_xdr_api_selectcos_req_t, &s2));
  api_get_coslist_rply_t neg{-1, nullptr};
  EXPECT_FALSE(encodes(qel_xdr_api_get_coslist_rply_t, &neg));
  cos_list_entry_t e{};
  e.subsys_count = 2;  // count without ids
  EXPECT_FALSE(encodes(qel_xdr_cos_list_entry_t, &e));
  api_named_coslists_rply_t n{1, nullptr};
  EXPECT_FALSE(encodes(qel_xdr_api_named_coslists_rply_t, &n));
}
