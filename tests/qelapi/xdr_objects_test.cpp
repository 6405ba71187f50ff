// Wire forms of the storage object records, written out by hand, plus
// round trips and malformed input for every record.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "codec_cases.h"
#include "object_records.h"
#include "wire.h"
#include "xdr_objects.h"

using wire::B;
using wire::Bytes;
using wire::decoder;
using wire::expect_golden;
using wire::FamilyGuard;
using wire::release;
using wire::v4;

using namespace objwire;

namespace {

// One record kind: a sample filler, its wire size worked out from the
// tables, and whether the record is plain (no pointers), so that the decoded
// record must equal the sample byte for byte.
template <typename T>
wire::Case kind(const char* name, size_t size, wire::Codec<T> codec, void (*fill)(T*),
                bool plain) {
  wire::Case k = wire::record(name, size, codec, fill);
  k.plain = plain;
  return k;
}

// A PV list header owned by the test record; released by the codec.
pv_list_t* pvList(std::initializer_list<pv_list_element_t> els) {
  auto* l = static_cast<pv_list_t*>(calloc(1, sizeof(pv_list_t)));
  l->List_len = uint32_t(els.size());
  if (els.size()) {
    l->List_val = static_cast<pv_list_element_t*>(calloc(els.size(), sizeof(pv_list_element_t)));
    size_t i = 0;
    for (const auto& e : els) l->List_val[i++] = e;
  }
  return l;
}

pv_list_element_t pv(const char* name, uint32_t flags) {
  pv_list_element_t e{};
  memcpy(e.Name, name, strnlen(name, sizeof e.Name));
  e.Flags = flags;
  return e;
}

void fillVV(bf_vv_attrib_t* v, uint32_t s) {
  oidBytes(v->VVID.Bytes, uint8_t(0xA0 + s));
  v->RelPosition = -int32_t(s) - 1;
  v->RelPositionOffset = 0x10 + s;
  v->BytesOnVV = (uint64_t(s) << 33) | 5;
  v->PVList = pvList({pv("PV0001", 8), pv("ABCDEFGHIJKL", s)});
}

void fillLevel(bf_sc_attrib_t* l, uint32_t vvs) {
  l->NumberOfVVs = vvs;
  l->BytesAtLevel = 0x100000002ULL;
  l->OptimumAccessSize = 0x100000;
  l->StripeWidth = 2;
  l->StripeLength = 0x40000;
  l->Flags = 5;
  for (uint32_t i = 0; i < vvs; i++) fillVV(&l->VVAttrib[i], i);
}

void fillUuid(quor_uuid_t* u, uint32_t s) {
  u->time_low = 0x11223344u + s;
  u->time_mid = 0x5566;
  u->time_hi_and_version = 0x7788;
  u->clock_seq_hi_and_reserved = 0x99;
  u->clock_seq_low = 0xAA;
  for (int i = 0; i < 6; i++) u->node[i] = uint8_t(0xB0 + i);
}

B& uuidWire(B& b, uint32_t s) {
  return b.u32(0x11223344u + s)
      .u32(0x5566)
      .u32(0x7788)
      .u32(0x99)
      .u32(0xAA)
      .raw({0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5});
}

std::vector<wire::Case> kinds() {
  return {
      kind<ns_ObjHandle_t>(
          "ns_ObjHandle_t", 44, qel_xdr_ns_ObjHandle_t,
          [](ns_ObjHandle_t* r) { fillHandle(r, 3); }, true),
      kind<bfs_bitfile_obj_handle_t>(
          "bfs_bitfile_obj_handle_t", 28, qel_xdr_bfs_bitfile_obj_handle_t,
          [](bfs_bitfile_obj_handle_t* r) {
            oidBytes(r->BfId.Bytes, 1);
            r->BfHash = 9;
            r->ValidHash = 10;
          },
          true),
      kind<quor_TrashRecord_t>(
          "quor_TrashRecord_t", 112 + 12 + 8, qel_xdr_quor_TrashRecord_t,
          [](quor_TrashRecord_t* r) { fillTrash(r, 4, "/a/b/c", "c"); }, true),
      kind<quor_Attrs_t>(
          "quor_Attrs_t", 592, qel_xdr_quor_Attrs_t, [](quor_Attrs_t* r) { fillAttrs(r, 5); },
          true),
      kind<quor_fileattr_t>(
          "quor_fileattr_t", 44 + 592, qel_xdr_quor_fileattr_t,
          [](quor_fileattr_t* r) {
            fillHandle(&r->ObjectHandle, 6);
            fillAttrs(&r->Attrs, 6);
          },
          true),
      kind<pv_list_t>(
          "pv_list_t", 4 + 2 * 16, qel_xdr_pv_list_t,
          [](pv_list_t* r) {
            pv_list_t* l = pvList({pv("X1", 1), pv("Y2", 2)});
            *r = *l;
            free(l);
          },
          false),
      kind<bf_vv_attrib_t>(
          "bf_vv_attrib_t", 20 + 4 + 8 + 8 + 4 + 2 * 16, qel_xdr_bf_vv_attrib_t,
          [](bf_vv_attrib_t* r) { fillVV(r, 2); }, false),
      kind<bf_sc_attrib_t>(
          "bf_sc_attrib_t", 32 + 3 * 76, qel_xdr_bf_sc_attrib_t,
          [](bf_sc_attrib_t* r) { fillLevel(r, 3); }, false),
      kind<bf_sc_attrib_t>(
          "bf_sc_attrib_t full", 32 + 10 * 76, qel_xdr_bf_sc_attrib_t,
          [](bf_sc_attrib_t* r) { fillLevel(r, QUOR_MAX_LEVEL_VVS); }, false),
      kind<quor_xfileattr_t>(
          "quor_xfileattr_t", 44 + 592 + 5 * 32 + 3 * 76, qel_xdr_quor_xfileattr_t,
          [](quor_xfileattr_t* r) {
            fillHandle(&r->ObjectHandle, 7);
            fillAttrs(&r->Attrs, 7);
            fillLevel(&r->SCAttrib[1], 2);
            fillLevel(&r->SCAttrib[4], 1);
          },
          false),
      kind<quor_stat_t>(
          "quor_stat_t", 88, qel_xdr_quor_stat_t,
          [](quor_stat_t* r) {
            r->st_ino = 77;
            r->st_nlink = 2;
            r->st_vfstype = -1;
            r->st_size = 1ULL << 40;
            r->st_mode = 040755;
          },
          true),
      kind<ns_DirEntry_t>(
          "ns_DirEntry_t", 16 + 44 + 8 + 592, qel_xdr_ns_DirEntry_t,
          [](ns_DirEntry_t* r) {
            strcpy(r->Name, "file.dat");
            fillHandle(&r->ObjHandle, 8);
            r->ObjOffset = 0xFFFFFFFF00000001ULL;
            fillAttrs(&r->Attrs, 8);
          },
          true),
      kind<quor_dirent_t>(
          "quor_dirent_t", 8 + 44 + 4 + 4 + 8, qel_xdr_quor_dirent_t,
          [](quor_dirent_t* r) {
            r->d_offset = 12;
            fillHandle(&r->d_handle, 9);
            r->d_reclen = 300;
            r->d_namelen = 3;
            strcpy(r->d_name, "abc");
          },
          true),
      kind<quor_cos_hints_t>(
          "quor_cos_hints_t", 4 + 16 + 4 + 24 + 28 + 8 + 4, qel_xdr_quor_cos_hints_t,
          [](quor_cos_hints_t* r) {
            r->COSId = 2;
            strcpy(r->COSName, "tape two");
            r->OptimumAccessSize = 1ULL << 33;
            r->MaxFileSize = ~0ULL;
            r->StripeWidth = 4;
            r->StripeLength = 1 << 20;
            r->FamilyId = 11;
          },
          true),
      kind<quor_cos_priorities_t>(
          "quor_cos_priorities_t", 56, qel_xdr_quor_cos_priorities_t,
          [](quor_cos_priorities_t* r) {
            uint32_t* p = &r->COSIdPriority;
            for (int i = 0; i < 14; i++) p[i] = uint32_t(i + 1);
          },
          true),
      kind<ns_FilesetAttrs_t>(
          "ns_FilesetAttrs_t", 16 + 8 + 44 + 8 + 12 + 12 + 128 + 40, qel_xdr_ns_FilesetAttrs_t,
          [](ns_FilesetAttrs_t* r) {
            r->RegisterBitMap = 3;
            r->ClassOfService = 4;
            fillHandle(&r->FilesetHandle, 10);
            strcpy(r->FilesetName, "root.fs");
            memset(r->UserData, 0x5A, sizeof r->UserData);
            r->SymLinkCount = 99;
          },
          true),
      kind<quor_junction_ent_t>(
          "quor_junction_ent_t", 44 + 12 + 44, qel_xdr_quor_junction_ent_t,
          [](quor_junction_ent_t* r) {
            fillHandle(&r->FilesetHandle, 11);
            strcpy(r->JunctionPathName, "/proj/x");
            fillHandle(&r->JunctionHandle, 12);
          },
          true),
      kind<quor_global_fsent_t>(
          "quor_global_fsent_t", 8 + 12 + 4, qel_xdr_quor_global_fsent_t,
          [](quor_global_fsent_t* r) {
            r->FilesetId = 1;
            strcpy(r->FilesetName, "fs one");
            r->CoreServerId = 2;
          },
          true),
      kind<acct_list_t>(
          "acct_list_t", 4 + 4 + 128, qel_xdr_acct_list_t,
          [](acct_list_t* r) {
            r->accountId = 42;
            memset(r->acctName, 'a', 127);  // the longest name that fits
          },
          true),
      kind<subsys_stats_t>(
          "subsys_stats_t", 24, qel_xdr_subsys_stats_t,
          [](subsys_stats_t* r) {
            r->StageCount = 1;
            r->DeleteCount = 4;
            r->COSChangeThreadCount = 6;
          },
          true),
      kind<api_namespec_t>(
          "api_namespec_t", 12 + 128 + 256, qel_xdr_api_namespec_t,
          [](api_namespec_t* r) {
            r->Type = NS_NAMESPEC_GROUP;
            r->Id = 500;
            r->RealmId = 1;
            strcpy(r->Name, "staff");
            strcpy(r->RealmName, "EXAMPLE.ORG");
          },
          true),
      kind<bfs_callback_addr_t>(
          "bfs_callback_addr_t", 12 + 28, qel_xdr_bfs_callback_addr_t,
          [](bfs_callback_addr_t* r) {
            r->sockaddr = v4("127.0.0.1", 1217);
            fillUuid(&r->id, 1);
          },
          false),
      kind<bfs_callback_ret_msg_t>(
          "bfs_callback_ret_msg_t", QEL_BFS_CALLBACK_RET_MSG_SIZE, qel_xdr_bfs_callback_ret_msg_t,
          [](bfs_callback_ret_msg_t* r) {
            fillUuid(&r->reqid, 2);
            r->retcode = -5;
            oidBytes(r->bfobj.BfId.Bytes, 3);
          },
          true),
  };
}

}  // namespace

// ---- golden wire forms ----

TEST(XdrObjects, ObjHandleIs44BytesInTableOrder) {
  ns_ObjHandle_t h;
  memset(&h, 0, sizeof h);
  h.ObjId = 0x0102030405060708ULL;
  h.ObjNsHash = 0x1112;
  h.FileId = 0x2122232425262728ULL;
  h.FileNsHash = 0x3132;
  h.Type = 0x41;
  h.Flags = 0x42;
  h.Generation = 0x5152535455565758ULL;
  h.CoreServerId = 0x61626364;
  Bytes want = B()
                   .raw({1, 2, 3, 4, 5, 6, 7, 8})
                   .raw({0, 0, 0x11, 0x12})
                   .raw({0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28})
                   .raw({0, 0, 0x31, 0x32})
                   .raw({0, 0, 0, 0x41})
                   .raw({0, 0, 0, 0x42})
                   .raw({0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58})
                   .raw({0x61, 0x62, 0x63, 0x64});
  ASSERT_EQ(44u, want.size());
  expect_golden(qel_xdr_ns_ObjHandle_t, &h, want);

  ns_ObjHandle_t back;
  memset(&back, 0, sizeof back);
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_ns_ObjHandle_t, want, &back, &used));
  EXPECT_EQ(44u, used);
  EXPECT_EQ(0, memcmp(&h, &back, sizeof h));
}

TEST(XdrObjects, BitfileHandleIs28Bytes) {
  bfs_bitfile_obj_handle_t h;
  memset(&h, 0, sizeof h);
  for (int i = 0; i < QUOROID_LEN; i++) h.BfId.Bytes[i] = uint8_t(0xE0 + i);
  h.BfHash = 0xBEEF;
  h.ValidHash = 0x01020304;
  Bytes want = B()
                   .raw({0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9,
                         0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF2})
                   .u32(0xBEEF)
                   .u32(0x01020304);
  ASSERT_EQ(28u, want.size());
  expect_golden(qel_xdr_bfs_bitfile_obj_handle_t, &h, want);

  bfs_bitfile_obj_handle_t back;
  memset(&back, 0, sizeof back);
  ASSERT_TRUE(wire::decode(qel_xdr_bfs_bitfile_obj_handle_t, want, &back));
  EXPECT_EQ(0, memcmp(&h, &back, sizeof h));
}

TEST(XdrObjects, TrashRecordWithEmptyStringsIs128Bytes) {
  quor_TrashRecord_t t;
  memset(&t, 0, sizeof t);
  t.ParentId = 0x0A0B0C0D0E0F1011ULL;
  t.ParentNsHash = 0x7777;
  t.Handle.ObjId = 5;
  t.Handle.Type = 1;
  t.Handle.CoreServerId = 9;
  t.UID = 1000;
  t.RealmId = 2;
  t.TimeDeleted = 0x60000001;
  t.TimeCreated = 0x60000002;
  t.TimeLastRead = 0x60000003;
  t.TimeModified = 0x60000004;
  t.LengthAtDeleteTime = 0x100000000ULL;
  t.BitfileId.Bytes[0] = 0xCC;
  t.BitfileId.Bytes[18] = 0xDD;
  t.BitfileHash = 0x0102;
  Bytes want = B()
                   .u32(0x0A0B0C0D)
                   .u32(0x0E0F1011)
                   .u32(0x7777)
                   // handle
                   .u32(0)
                   .u32(5)
                   .zeros(4 + 8 + 4)
                   .u32(1)
                   .zeros(4 + 8)
                   .u32(9)
                   // owner, realm, times
                   .u32(1000)
                   .u32(2)
                   .u32(0x60000001)
                   .u32(0x60000002)
                   .u32(0x60000003)
                   .u32(0x60000004)
                   .u32(1)
                   .u32(0)
                   .raw({0xCC, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xDD})
                   .u32(0x0102)
                   // Path and Name: length 1 and the NUL, padded
                   .u32(1)
                   .zeros(4)
                   .u32(1)
                   .zeros(4);
  ASSERT_EQ(128u, want.size());
  expect_golden(qel_xdr_quor_TrashRecord_t, &t, want);

  quor_TrashRecord_t back;
  memset(&back, 0, sizeof back);
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_quor_TrashRecord_t, want, &back, &used));
  EXPECT_EQ(128u, used);
  EXPECT_EQ(0, memcmp(&t, &back, sizeof t));
}

TEST(XdrObjects, AttrsGoInTableOrder) {
  quor_Attrs_t a;
  memset(&a, 0, sizeof a);
  fillAttrs(&a, 1);
  B want;
  attrsWire(want, 1);
  ASSERT_EQ(592u, want.b.size());
  expect_golden(qel_xdr_quor_Attrs_t, &a, want);

  // Spot checks of the order: CompositePerms then COSId right after the
  // 256-byte comment; the trash record just before the last four words.
  const Bytes& w = want.b;
  auto word = [&w](size_t off) {
    return uint32_t(w[off]) << 24 | uint32_t(w[off + 1]) << 16 | uint32_t(w[off + 2]) << 8 |
           w[off + 3];
  };
  EXPECT_EQ(a.CompositePerms, word(4 + 28 + 256));
  EXPECT_EQ(a.COSId, word(4 + 28 + 256 + 4));
  EXPECT_EQ(a.WriteCount, word(588));
  EXPECT_EQ(a.TrashInfo.TimeModified, word(592 - 16 - 128 + 44 + 12 + 4 * 5));

  quor_Attrs_t back;
  memset(&back, 0, sizeof back);
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_quor_Attrs_t, want, &back, &used));
  EXPECT_EQ(592u, used);
  EXPECT_EQ(0, memcmp(&a, &back, sizeof a));
}

TEST(XdrObjects, CommentTravelsWhole) {
  quor_Attrs_t a;
  memset(&a, 0, sizeof a);
  strcpy(a.Comment, "hi");
  a.Comment[200] = 'z';  // after the terminator, still sent
  B want;
  want.u32(0).zeros(28).raw(a.Comment, sizeof a.Comment);
  Bytes got = wire::encode(qel_xdr_quor_Attrs_t, &a);
  ASSERT_GE(got.size(), want.b.size());
  EXPECT_EQ(wire::hex(want.b), wire::hex(Bytes(got.begin(), got.begin() + want.b.size())));
}

TEST(XdrObjects, StatIs88BytesWithPlainMode) {
  quor_stat_t st;
  memset(&st, 0, sizeof st);
  st.st_dev = 1;
  st.st_ino = 0x0000000200000003ULL;
  st.st_nlink = 4;
  st.st_flag = 5;
  st.st_uid = 6;
  st.st_gid = 7;
  st.st_rdev = 8;
  st.st_ssize = 9;
  st.quor_st_atime = 10;
  st.quor_st_mtime = 11;
  st.quor_st_ctime = 12;
  st.quor_st_birthtime = 0xDEAD;  // not sent
  st.st_blksize = 13;
  st.st_blocks = 14;
  st.st_vfstype = -15;
  st.st_vfs = 16;
  st.st_type = 17;
  st.st_gen = 18;
  st.st_size = 0x0000001300000014ULL;
  st.st_mode = 0100644;
  Bytes want = B()
                   .u32(1)
                   .u32(2)
                   .u32(3)
                   .u32(4)
                   .u32(5)
                   .u32(6)
                   .u32(7)
                   .u32(8)
                   .u64(9)
                   .u32(10)
                   .u32(11)
                   .u32(12)
                   .u32(13)
                   .u32(14)
                   .raw({0xFF, 0xFF, 0xFF, 0xF1})
                   .u32(16)
                   .u32(17)
                   .u32(18)
                   .u32(0x13)
                   .u32(0x14)
                   .u32(0x81A4);  // not the portable 0x201A4
  ASSERT_EQ(88u, want.size());
  expect_golden(qel_xdr_quor_stat_t, &st, want);

  quor_stat_t back;
  memset(&back, 0, sizeof back);
  ASSERT_TRUE(wire::decode(qel_xdr_quor_stat_t, want, &back));
  st.quor_st_birthtime = 0;
  EXPECT_EQ(0, memcmp(&st, &back, sizeof st));
}

TEST(XdrObjects, XFileAttrCarriesFiveLevels) {
  quor_xfileattr_t x;
  memset(&x, 0, sizeof x);
  fillHandle(&x.ObjectHandle, 1);
  fillAttrs(&x.Attrs, 2);
  bf_sc_attrib_t& l0 = x.SCAttrib[0];
  l0.NumberOfVVs = 2;
  l0.BytesAtLevel = 0x0000000100000002ULL;
  l0.OptimumAccessSize = 0x100000;
  l0.StripeWidth = 2;
  l0.StripeLength = 0x40000;
  l0.Flags = 5;
  oidBytes(l0.VVAttrib[0].VVID.Bytes, 0xA0);
  l0.VVAttrib[0].RelPosition = -3;
  l0.VVAttrib[0].RelPositionOffset = 0x10;
  l0.VVAttrib[0].BytesOnVV = 0x2000000001ULL;
  l0.VVAttrib[0].PVList = pvList({pv("PV0001", 8), pv("ABCDEFGHIJKL", 0)});
  oidBytes(l0.VVAttrib[1].VVID.Bytes, 0xC0);
  l0.VVAttrib[1].RelPosition = 7;
  l0.VVAttrib[1].BytesOnVV = 5;
  l0.VVAttrib[1].PVList = pvList({});
  x.SCAttrib[4].StripeWidth = 1;
  x.SCAttrib[4].Flags = 1;

  B want;
  handleWire(want, 1);
  attrsWire(want, 2);
  // level 0: count, bytes, access size, width, length, flags, then volumes
  want.u32(2).u32(1).u32(2).u32(0x100000).u32(2).u32(0).u32(0x40000).u32(5);
  oidWire(want, 0xA0)
      .i32(-3)
      .u64(0x10)
      .u32(0x20)
      .u32(1)
      .u32(2)
      .raw({'P', 'V', '0', '0', '0', '1', 0, 0, 0, 0, 0, 0})
      .u32(8)
      .raw({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L'})
      .u32(0);
  oidWire(want, 0xC0).i32(7).u64(0).u64(5).u32(0);
  want.zeros(3 * 32);
  want.u32(0).u64(0).u32(0).u32(1).u64(0).u32(1);
  ASSERT_EQ(44u + 592 + 32 + 20 + 4 + 16 + 4 + 32 + 20 + 4 + 16 + 4 + 4 * 32, want.b.size());

  expect_golden(qel_xdr_quor_xfileattr_t, &x, want);

  quor_xfileattr_t back;
  memset(&back, 0, sizeof back);
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_quor_xfileattr_t, want, &back, &used));
  EXPECT_EQ(want.b.size(), used);
  EXPECT_EQ(0, memcmp(&x.ObjectHandle, &back.ObjectHandle, sizeof x.ObjectHandle));
  EXPECT_EQ(0, memcmp(&x.Attrs, &back.Attrs, sizeof x.Attrs));
  const bf_sc_attrib_t& b0 = back.SCAttrib[0];
  EXPECT_EQ(2u, b0.NumberOfVVs);
  EXPECT_EQ(0x0000000100000002ULL, b0.BytesAtLevel);
  EXPECT_EQ(0x100000u, b0.OptimumAccessSize);
  EXPECT_EQ(2u, b0.StripeWidth);
  EXPECT_EQ(0x40000u, b0.StripeLength);
  EXPECT_EQ(5u, b0.Flags);
  EXPECT_EQ(0, memcmp(l0.VVAttrib[0].VVID.Bytes, b0.VVAttrib[0].VVID.Bytes, QUOROID_LEN));
  EXPECT_EQ(-3, b0.VVAttrib[0].RelPosition);
  EXPECT_EQ(0x10u, b0.VVAttrib[0].RelPositionOffset);
  EXPECT_EQ(0x2000000001ULL, b0.VVAttrib[0].BytesOnVV);
  ASSERT_NE(nullptr, b0.VVAttrib[0].PVList);
  ASSERT_EQ(2u, b0.VVAttrib[0].PVList->List_len);
  EXPECT_EQ(0, memcmp("PV0001\0\0\0\0\0\0", b0.VVAttrib[0].PVList->List_val[0].Name, 12));
  EXPECT_EQ(8u, b0.VVAttrib[0].PVList->List_val[0].Flags);
  EXPECT_EQ(0, memcmp("ABCDEFGHIJKL", b0.VVAttrib[0].PVList->List_val[1].Name, 12));
  EXPECT_EQ(7, b0.VVAttrib[1].RelPosition);
  EXPECT_EQ(5u, b0.VVAttrib[1].BytesOnVV);
  EXPECT_EQ(nullptr, b0.VVAttrib[1].PVList);  // empty list: no header
  for (int lv = 1; lv < 4; lv++) {
    EXPECT_EQ(0u, back.SCAttrib[lv].NumberOfVVs);
    EXPECT_EQ(0u, back.SCAttrib[lv].Flags);
  }
  EXPECT_EQ(1u, back.SCAttrib[4].StripeWidth);
  EXPECT_EQ(1u, back.SCAttrib[4].Flags);

  release(qel_xdr_quor_xfileattr_t, &back);
  EXPECT_EQ(nullptr, back.SCAttrib[0].VVAttrib[0].PVList);
  release(qel_xdr_quor_xfileattr_t, &x);
  EXPECT_EQ(nullptr, x.SCAttrib[0].VVAttrib[1].PVList);
}

TEST(XdrObjects, CosDefinitionGoesInTableOrder) {
  quor_cos_md_t c;
  memset(&c, 0, sizeof c);
  c.COSId = 1;
  c.HierId = 2;
  strcpy(c.COSName, "disk");
  c.OptimumAccessSize = 3;
  c.Flags = 4;
  c.MinFileSize = 5;
  c.MaxFileSize = 0x0000000600000007ULL;
  c.AccessFrequency = 8;
  c.TransferRate = 9;
  c.AvgLatency = 10;
  c.WriteOps = 11;
  c.ReadOps = 12;
  c.StageCode = 13;
  c.AllocMethod = 14;
  c.FileHashType = QUOR_HASH_CRC32C;
  c.MigrOrder = 99;  // not sent
  Bytes want = B()
                   .u32(1)
                   .u32(2)
                   .u32(5)
                   .raw({'d', 'i', 's', 'k', 0})
                   .u32(3)
                   .u32(4)
                   .u64(5)
                   .u32(6)
                   .u32(7)
                   .u32(8)
                   .u32(9)
                   .u32(10)
                   .u32(11)
                   .u32(12)
                   .u32(13)
                   .u32(14)
                   .u32(10);
  expect_golden(qel_xdr_quor_cos_md_t, &c, want);
  quor_cos_md_t back;
  memset(&back, 0, sizeof back);
  ASSERT_TRUE(wire::decode(qel_xdr_quor_cos_md_t, want, &back));
  c.MigrOrder = 0;
  EXPECT_EQ(0, memcmp(&c, &back, sizeof c));

  // Unknown hash numbers pass through unchanged.
  Bytes odd = want;
  odd[odd.size() - 1] = 0xFF;
  odd[odd.size() - 4] = 0xFF;
  odd[odd.size() - 3] = 0xFF;
  odd[odd.size() - 2] = 0xFF;
  memset(&back, 0, sizeof back);
  ASSERT_TRUE(wire::decode(qel_xdr_quor_cos_md_t, odd, &back));
  EXPECT_EQ(-1, int32_t(back.FileHashType));
}

TEST(XdrObjects, StageReportIs60Bytes) {
  bfs_callback_ret_msg_t m;
  memset(&m, 0, sizeof m);
  fillUuid(&m.reqid, 0);
  m.retcode = -28;
  for (int i = 0; i < QUOROID_LEN; i++) m.bfobj.BfId.Bytes[i] = uint8_t(i);
  m.bfobj.BfHash = 3;
  m.bfobj.ValidHash = 1;
  B want;
  uuidWire(want, 0).i32(-28);
  want.raw({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}).u32(3).u32(1);
  ASSERT_EQ(size_t(QEL_BFS_CALLBACK_RET_MSG_SIZE), want.b.size());
  expect_golden(qel_xdr_bfs_callback_ret_msg_t, &m, want);
  bfs_callback_ret_msg_t back;
  memset(&back, 0, sizeof back);
  ASSERT_TRUE(wire::decode(qel_xdr_bfs_callback_ret_msg_t, want, &back));
  EXPECT_EQ(0, memcmp(&m, &back, sizeof m));
}

TEST(XdrObjects, CallbackAddressWithAndWithoutAddress) {
  bfs_callback_addr_t a;
  memset(&a, 0, sizeof a);
  Bytes none = wire::encode(qel_xdr_bfs_callback_addr_t, &a);
  EXPECT_EQ(wire::hex(B().u32(0).zeros(28)), wire::hex(none));

  a.sockaddr = v4("127.0.0.1", 1217);
  fillUuid(&a.id, 5);
  B want;
  want.u32(1).raw({0x7F, 0, 0, 1}).u32(1217);
  uuidWire(want, 5);
  expect_golden(qel_xdr_bfs_callback_addr_t, &a, want);

  FamilyGuard g("ipv4_only");
  bfs_callback_addr_t back;
  memset(&back, 0, sizeof back);
  ASSERT_TRUE(wire::decode(qel_xdr_bfs_callback_addr_t, want, &back));
  auto* sin = reinterpret_cast<sockaddr_in*>(&back.sockaddr.hs_addr);
  EXPECT_EQ(AF_INET, sin->sin_family);
  EXPECT_EQ(1217, ntohs(sin->sin_port));
  EXPECT_EQ(0x7F000001u, ntohl(sin->sin_addr.s_addr));
  EXPECT_EQ(0, memcmp(&a.id, &back.id, sizeof a.id));
}

// ---- round trips ----

TEST(XdrObjects, EveryRecordRoundTripsAtItsWireSize) {
  // Callback addresses are rebuilt under the family policy.
  FamilyGuard g("ipv4_only");
  for (const wire::Case& k : kinds()) wire::expect_round_trip(k);
}

TEST(XdrObjects, FullLevelDecodesAllTenVolumes) {
  bf_sc_attrib_t l;
  memset(&l, 0, sizeof l);
  fillLevel(&l, QUOR_MAX_LEVEL_VVS);
  Bytes b = wire::encode(qel_xdr_bf_sc_attrib_t, &l);
  release(qel_xdr_bf_sc_attrib_t, &l);
  bf_sc_attrib_t back;
  memset(&back, 0, sizeof back);
  ASSERT_TRUE(wire::decode(qel_xdr_bf_sc_attrib_t, b, &back));
  ASSERT_EQ(10u, back.NumberOfVVs);
  for (int i = 0; i < 10; i++) {
    ASSERT_NE(nullptr, back.VVAttrib[i].PVList);
    EXPECT_EQ(uint32_t(i), back.VVAttrib[i].PVList->List_val[1].Flags);
    EXPECT_EQ(-i - 1, back.VVAttrib[i].RelPosition);
  }
  release(qel_xdr_bf_sc_attrib_t, &back);
  for (int i = 0; i < 10; i++) EXPECT_EQ(nullptr, back.VVAttrib[i].PVList);
}

// ---- malformed input ----

TEST(XdrObjects, EveryTruncationFails) {
  FamilyGuard g("ipv4_only");
  for (const wire::Case& k : kinds()) wire::expect_truncations_fail(k);
}

namespace {

Bytes levelHead(uint32_t count) {
  return B().u32(count).u64(1).u32(2).u32(3).u64(4).u32(5);
}

Bytes vvWith(uint32_t pvCount) {
  B b;
  oidWire(b, 1).i32(0).u64(0).u64(6).u32(pvCount);
  return b;
}

// A level announcing eleven volumes, all of them present.
Bytes elevenVolumes() {
  B b;
  b.cat(levelHead(11));
  for (int i = 0; i < 11; i++) b.cat(vvWith(0));
  return b;
}

}  // namespace

TEST(XdrObjects, BadCountsAndLengthsAreRefused) {
  B trashHead;
  trashHead.zeros(112);
  B xattrHead;
  handleWire(xattrHead, 0);
  attrsWire(xattrHead, 0);

  const std::vector<wire::Bad> cases = {
      // A level holds ten volumes; more would write past the array.
      {"eleven volumes", elevenVolumes(), decoder(qel_xdr_bf_sc_attrib_t)},
      {"huge volume count", B().cat(levelHead(0xFFFFFFFF)), decoder(qel_xdr_bf_sc_attrib_t)},
      {"eleven volumes on a later level",
       B().cat(xattrHead.b).zeros(2 * 32).cat(elevenVolumes()).zeros(2 * 32),
       decoder(qel_xdr_quor_xfileattr_t)},
      {"huge PV count", vvWith(0xFFFFFFFF), decoder(qel_xdr_bf_vv_attrib_t)},
      {"PV count beyond the data", B().cat(vvWith(1000)).raw({'A', 'B'}).u32(1),
       decoder(qel_xdr_bf_vv_attrib_t)},
      {"PV list lies on level 0 after a good volume",
       B().cat(levelHead(2)).cat(vvWith(1)).zeros(16).cat(vvWith(5)).zeros(16),
       decoder(qel_xdr_bf_sc_attrib_t)},
      {"trash Path length 0", B().cat(trashHead.b).u32(0).u32(1).zeros(4),
       decoder(qel_xdr_quor_TrashRecord_t)},
      {"trash Path length -1", B().cat(trashHead.b).i32(-1), decoder(qel_xdr_quor_TrashRecord_t)},
      {"trash Path over 2048", B().cat(trashHead.b).u32(2049).zeros(2052).u32(1).zeros(4),
       decoder(qel_xdr_quor_TrashRecord_t)},
      {"trash Name over 256", B().cat(trashHead.b).u32(1).zeros(4).u32(257).zeros(260),
       decoder(qel_xdr_quor_TrashRecord_t)},
      {"dir entry name over 256", B().u32(257).zeros(260 + 44 + 8 + 592),
       decoder(qel_xdr_ns_DirEntry_t)},
      {"account name of 128 characters", B().u32(1).u32(129).zeros(132),
       decoder(qel_xdr_acct_list_t)},
      {"COS name over 32", B().u32(1).u32(2).u32(33).zeros(36 + 8 + 16 + 32),
       decoder(qel_xdr_quor_cos_md_t)},
      {"fileset name huge", B().u64(1).u32(0x7FFFFFFF).zeros(8), decoder(qel_xdr_quor_global_fsent_t)},
      {"junction path over 1024", B().zeros(44).u32(1025).zeros(1028 + 44),
       decoder(qel_xdr_quor_junction_ent_t)},
      {"callback address state 2", B().u32(2).zeros(16 + 4 + 28),
       decoder(qel_xdr_bfs_callback_addr_t)},
  };
  wire::expect_all_refused(cases);
}

TEST(XdrObjects, TenVolumesAreTheLimitNotEleven) {
  B ten;
  ten.cat(levelHead(10));
  for (int i = 0; i < 10; i++) ten.cat(vvWith(0));
  bf_sc_attrib_t l;
  memset(&l, 0, sizeof l);
  EXPECT_TRUE(wire::decode(qel_xdr_bf_sc_attrib_t, ten, &l));
  EXPECT_EQ(10u, l.NumberOfVVs);
  EXPECT_EQ(6u, l.VVAttrib[9].BytesOnVV);
  release(qel_xdr_bf_sc_attrib_t, &l);

  memset(&l, 0, sizeof l);
  EXPECT_FALSE(wire::decode(qel_xdr_bf_sc_attrib_t, elevenVolumes(), &l));
  EXPECT_EQ(0u, l.NumberOfVVs);  // the refused count is not kept
  EXPECT_EQ(0u, l.VVAttrib[0].BytesOnVV);
}

TEST(XdrObjects, EncodingRefusesWhatCannotBeSent) {
  bf_sc_attrib_t l;
  memset(&l, 0, sizeof l);
  l.NumberOfVVs = 11;
  bool ok = true;
  wire::encode(qel_xdr_bf_sc_attrib_t, &l, &ok);
  EXPECT_FALSE(ok);

  bf_vv_attrib_t v;
  memset(&v, 0, sizeof v);  // no PV list
  ok = true;
  wire::encode(qel_xdr_bf_vv_attrib_t, &v, &ok);
  EXPECT_FALSE(ok);

  quor_TrashRecord_t t;
  memset(&t, 0, sizeof t);
  memset(t.Name, 'n', sizeof t.Name);  // no room for the terminator
  ok = true;
  wire::encode(qel_xdr_quor_TrashRecord_t, &t, &ok);
  EXPECT_FALSE(ok);

  acct_list_t a;
  memset(&a, 0, sizeof a);
  memset(a.acctName, 'a', 128);
  ok = true;
  wire::encode(qel_xdr_acct_list_t, &a, &ok);
  EXPECT_FALSE(ok);
}
