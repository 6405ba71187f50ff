// Namespace messages of the core storage API: wire forms written out by hand,
// round trips of every request and reply, and malformed input.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "codec_cases.h"
#include "msg_namespace.h"
#include "object_records.h"
#include "wire.h"

using wire::B;
using wire::Bytes;
using wire::decoder;
using wire::expect_golden;
using wire::release;

using namespace objwire;

namespace {

// One message record: a sample filler, its wire size worked out from the
// tables, and for replies into the caller's memory the set-up before
// decoding (prep) and the caller's own clean-up (unprep).
template <typename T>
wire::Case kind(const char* name, size_t size, wire::Codec<T> codec, void (*fill)(T*),
                void (*prep)(T*) = nullptr, void (*unprep)(T*) = nullptr) {
  return wire::record(name, size, codec, fill, prep, unprep);
}

char* dup(const char* s) { return strdup(s); }

void fillSpec(api_namespec_t* s, int i) {
  s->Type = i % 2 ? NS_NAMESPEC_USER : NS_NAMESPEC_GROUP;
  s->Id = uint32_t(1000 + i);
  s->RealmId = 1;
  snprintf(s->Name, sizeof s->Name, "user%d", i);
  strcpy(s->RealmName, "REALM");
}

template <typename T>
void fillSpecs(T* r) {
  r->NumEntries = 2;
  r->Specs = static_cast<api_namespec_t*>(calloc(2, sizeof(api_namespec_t)));
  fillSpec(&r->Specs[0], 0);
  fillSpec(&r->Specs[1], 1);
}

void fillStat(quor_stat_t* st) {
  st->st_ino = 42;
  st->st_nlink = 1;
  st->st_size = 12345;
  st->st_mode = 0100600;
}

void fillEntry(ns_DirEntry_t* e, uint32_t s) {
  snprintf(e->Name, sizeof e->Name, "e%u", s);
  fillHandle(&e->ObjHandle, s);
  e->ObjOffset = s + 1;
  fillAttrs(&e->Attrs, s);
}

template <typename T>
void fillPath(T* r) {
  r->Path = dup("/a/b");
}

std::vector<wire::Case> kinds() {
  using XA = api_quor_FileGetXAttributes_rply_t;
  return {
      kind<api_quor_Chdir_req_t>("Chdir req", 8, qel_xdr_api_quor_Chdir_req_t, fillPath),
      kind<api_quor_Chmod_req_t>(
          "Chmod req", 12, qel_xdr_api_quor_Chmod_req_t,
          [](api_quor_Chmod_req_t* r) {
            r->Path = dup("/a/b");
            r->Mode = 0100644;
          }),
      kind<api_quor_Chown_req_t>(
          "Chown req", 16, qel_xdr_api_quor_Chown_req_t,
          [](api_quor_Chown_req_t* r) {
            r->Path = dup("/a/b");
            r->Owner = 1000;
            r->Group = 100;
          }),
      kind<api_quor_Closedir_req_t>("Closedir req", 4, qel_xdr_api_quor_Closedir_req_t,
                                    [](api_quor_Closedir_req_t* r) { r->Dirdes = 3; }),
      kind<api_quor_ConvertIdsToNames_req_t>("ConvertIdsToNames req", 4 + 2 * 396,
                                             qel_xdr_api_quor_ConvertIdsToNames_req_t, fillSpecs),
      kind<api_quor_ConvertIdsToNames_rply_t>("ConvertIdsToNames rply", 4 + 2 * 396,
                                              qel_xdr_api_quor_ConvertIdsToNames_rply_t,
                                              fillSpecs),
      kind<api_quor_ConvertNamesToIds_req_t>("ConvertNamesToIds req", 4 + 2 * 396,
                                             qel_xdr_api_quor_ConvertNamesToIds_req_t, fillSpecs),
      kind<api_quor_ConvertNamesToIds_rply_t>("ConvertNamesToIds rply", 4 + 2 * 396,
                                              qel_xdr_api_quor_ConvertNamesToIds_rply_t,
                                              fillSpecs),
      kind<api_quor_FileGetAttributes_req_t>("FileGetAttributes req", 8,
                                             qel_xdr_api_quor_FileGetAttributes_req_t, fillPath),
      kind<api_quor_FileGetAttributes_rply_t>(
          "FileGetAttributes rply", 44 + 592, qel_xdr_api_quor_FileGetAttributes_rply_t,
          [](api_quor_FileGetAttributes_rply_t* r) {
            fillHandle(&r->AttrOut.ObjectHandle, 1);
            fillAttrs(&r->AttrOut.Attrs, 1);
          }),
      kind<api_quor_FileGetXAttributes_req_t>(
          "FileGetXAttributes req", 16, qel_xdr_api_quor_FileGetXAttributes_req_t,
          [](api_quor_FileGetXAttributes_req_t* r) {
            r->Path = dup("/a/b");
            r->Flags = 8;
            r->StorageLevel = 2;
          }),
      kind<XA>(
          "FileGetXAttributes rply", 44 + 592 + 5 * 32 + 76,
          qel_xdr_api_quor_FileGetXAttributes_rply_t,
          [](XA* r) {
            fillHandle(&r->AttrOut.ObjectHandle, 2);
            fillAttrs(&r->AttrOut.Attrs, 2);
            bf_sc_attrib_t& l = r->AttrOut.SCAttrib[2];
            l.NumberOfVVs = 1;
            l.Flags = 4;
            l.VVAttrib[0].BytesOnVV = 99;
            auto* pl = static_cast<pv_list_t*>(calloc(1, sizeof(pv_list_t)));
            pl->List_len = 2;
            pl->List_val = static_cast<pv_list_element_t*>(calloc(2, sizeof(pv_list_element_t)));
            memcpy(pl->List_val[0].Name, "VOL001", 6);
            pl->List_val[1].Flags = 8;
            l.VVAttrib[0].PVList = pl;
          }),
      kind<api_quor_FileSetAttributes_req_t>(
          "FileSetAttributes req", 8 + 8 + 636, qel_xdr_api_quor_FileSetAttributes_req_t,
          [](api_quor_FileSetAttributes_req_t* r) {
            r->Path = dup("/a/b");
            r->SelFlags = 0x8000000000000001ULL;
            fillHandle(&r->AttrIn.ObjectHandle, 3);
            fillAttrs(&r->AttrIn.Attrs, 3);
          }),
      kind<api_quor_FileSetAttributes_rply_t>(
          "FileSetAttributes rply", 636, qel_xdr_api_quor_FileSetAttributes_rply_t,
          [](api_quor_FileSetAttributes_rply_t* r) { fillAttrs(&r->AttrOut.Attrs, 4); }),
      kind<api_quor_FilesetGetAttrs_req_t>(
          "FilesetGetAttrs req", 16 + 44 + 4 + 8, qel_xdr_api_quor_FilesetGetAttrs_req_t,
          [](api_quor_FilesetGetAttrs_req_t* r) {
            r->useHandle = 1;
            r->useSrvrID = 1;
            fillHandle(&r->FilesetHandle, 5);
            r->CoreServerID = 6;
            r->FilesetAttrBits = 7;
          }),
      kind<api_quor_FilesetGetAttrs_rply_t>(
          "FilesetGetAttrs rply", 16 + 8 + 44 + 8 + 8 + 12 + 128 + 40,
          qel_xdr_api_quor_FilesetGetAttrs_rply_t,
          [](api_quor_FilesetGetAttrs_rply_t* r) {
            strcpy(r->FilesetAttrs.FilesetName, "fs");
            r->FilesetAttrs.FileCount = 10;
            fillHandle(&r->FilesetAttrs.FilesetHandle, 6);
          }),
      kind<api_quor_FilesetListAll_req_t>("FilesetListAll req", 12,
                                          qel_xdr_api_quor_FilesetListAll_req_t,
                                          [](api_quor_FilesetListAll_req_t* r) {
                                            r->OffsetIn = 1ULL << 40;
                                            r->Entries = 50;
                                          }),
      kind<api_quor_FilesetListAll_rply_t>(
          "FilesetListAll rply", 16 + 2 * 24, qel_xdr_api_quor_FilesetListAll_rply_t,
          [](api_quor_FilesetListAll_rply_t* r) {
            r->entryCount = 2;
            r->OffsetOut = 2;
            r->End = 1;
            r->FSentPtr =
                static_cast<quor_global_fsent_t*>(calloc(2, sizeof(quor_global_fsent_t)));
            strcpy(r->FSentPtr[0].FilesetName, "fs one");
            strcpy(r->FSentPtr[1].FilesetName, "fs two");
            r->FSentPtr[1].CoreServerId = 3;
          }),
      kind<api_quor_Getcwd_rply_t>("Getcwd rply", 12, qel_xdr_api_quor_Getcwd_rply_t,
                                   [](api_quor_Getcwd_rply_t* r) { r->Buf = dup("/home/u"); }),
      kind<api_quor_GetJunctions_req_t>("GetJunctions req", 16,
                                        qel_xdr_api_quor_GetJunctions_req_t,
                                        [](api_quor_GetJunctions_req_t* r) {
                                          r->SubsystemID = 1;
                                          r->Entries = 10;
                                        }),
      kind<api_quor_GetJunctions_rply_t>(
          "GetJunctions rply", 16 + 2 * 96, qel_xdr_api_quor_GetJunctions_rply_t,
          [](api_quor_GetJunctions_rply_t* r) {
            r->entryCount = 2;
            r->JentPtr =
                static_cast<quor_junction_ent_t*>(calloc(2, sizeof(quor_junction_ent_t)));
            strcpy(r->JentPtr[0].JunctionPathName, "/j");
            strcpy(r->JentPtr[1].JunctionPathName, "/k");
            fillHandle(&r->JentPtr[1].JunctionHandle, 7);
          }),
      kind<api_quor_GetListAttrs_req_t>("GetListAttrs req", 8,
                                        qel_xdr_api_quor_GetListAttrs_req_t, fillPath),
      kind<api_quor_GetListAttrs_rply_t>(
          "GetListAttrs rply", 592, qel_xdr_api_quor_GetListAttrs_rply_t,
          [](api_quor_GetListAttrs_rply_t* r) { fillAttrs(&r->AttrOut, 8); }),
      kind<api_quor_Link_req_t>("Link req", 16, qel_xdr_api_quor_Link_req_t,
                                [](api_quor_Link_req_t* r) {
                                  r->Existing = dup("/a/b");
                                  r->New = dup("/c");
                                }),
      kind<api_quor_Lstat_req_t>("Lstat req", 8, qel_xdr_api_quor_Lstat_req_t, fillPath),
      kind<api_quor_Lstat_rply_t>(
          "Lstat rply", 88, qel_xdr_api_quor_Lstat_rply_t,
          [](api_quor_Lstat_rply_t* r) {
            r->StatBuf = static_cast<quor_stat_t*>(calloc(1, sizeof(quor_stat_t)));
            fillStat(r->StatBuf);
          },
          [](api_quor_Lstat_rply_t* r) {
            r->StatBuf = static_cast<quor_stat_t*>(calloc(1, sizeof(quor_stat_t)));
          },
          [](api_quor_Lstat_rply_t* r) { free(r->StatBuf); }),
      kind<api_quor_Mkdir_req_t>("Mkdir req", 12, qel_xdr_api_quor_Mkdir_req_t,
                                 [](api_quor_Mkdir_req_t* r) {
                                   r->Path = dup("/a/b");
                                   r->Mode = 0755;
                                 }),
      kind<api_quor_Opendir_req_t>("Opendir req", 8, qel_xdr_api_quor_Opendir_req_t,
                                   [](api_quor_Opendir_req_t* r) { r->DirName = dup("/a/b"); }),
      kind<api_quor_ReadAttrs_req_t>("ReadAttrs req", 20, qel_xdr_api_quor_ReadAttrs_req_t,
                                     [](api_quor_ReadAttrs_req_t* r) {
                                       r->Dirdes = 4;
                                       r->OffsetIn = 9;
                                       r->EntryCount = 100;
                                       r->GetAttributes = 1;
                                     }),
      kind<api_quor_ReadAttrs_rply_t>(
          "ReadAttrs rply", 16 + 2 * 652, qel_xdr_api_quor_ReadAttrs_rply_t,
          [](api_quor_ReadAttrs_rply_t* r) {
            r->entryCount = 2;
            r->Dirent = static_cast<ns_DirEntry_t*>(calloc(2, sizeof(ns_DirEntry_t)));
            fillEntry(&r->Dirent[0], 1);
            fillEntry(&r->Dirent[1], 2);
          },
          [](api_quor_ReadAttrs_rply_t* r) {
            r->Dirent = static_cast<ns_DirEntry_t*>(calloc(4, sizeof(ns_DirEntry_t)));
            r->DirentCapacity = 4;
          },
          [](api_quor_ReadAttrs_rply_t* r) { free(r->Dirent); }),
      kind<api_quor_Readdir_req_t>("Readdir req", 4, qel_xdr_api_quor_Readdir_req_t,
                                   [](api_quor_Readdir_req_t* r) { r->DirDes = 4; }),
      kind<api_quor_Readdir_rply_t>("Readdir rply", 68, qel_xdr_api_quor_Readdir_rply_t,
                                    [](api_quor_Readdir_rply_t* r) {
                                      r->DirentOut.d_offset = 1;
                                      r->DirentOut.d_namelen = 3;
                                      strcpy(r->DirentOut.d_name, "abc");
                                    }),
      kind<api_quor_Readlink_req_t>("Readlink req", 8, qel_xdr_api_quor_Readlink_req_t, fillPath),
      kind<api_quor_Readlink_rply_t>(
          "Readlink rply", 12, qel_xdr_api_quor_Readlink_rply_t,
          [](api_quor_Readlink_rply_t* r) { r->Contents = dup("target"); }),
      kind<api_quor_Rename_req_t>("Rename req", 16, qel_xdr_api_quor_Rename_req_t,
                                  [](api_quor_Rename_req_t* r) {
                                    r->Old = dup("/a/b");
                                    r->New = dup("/c/d");
                                  }),
      kind<api_quor_Rmdir_req_t>("Rmdir req", 8, qel_xdr_api_quor_Rmdir_req_t, fillPath),
      kind<api_quor_Stat_req_t>("Stat req", 8, qel_xdr_api_quor_Stat_req_t, fillPath),
      kind<api_quor_Stat_rply_t>(
          "Stat rply", 88, qel_xdr_api_quor_Stat_rply_t,
          [](api_quor_Stat_rply_t* r) {
            r->StatBuf = static_cast<quor_stat_t*>(calloc(1, sizeof(quor_stat_t)));
            fillStat(r->StatBuf);
          },
          [](api_quor_Stat_rply_t* r) {
            r->StatBuf = static_cast<quor_stat_t*>(calloc(1, sizeof(quor_stat_t)));
          },
          [](api_quor_Stat_rply_t* r) { free(r->StatBuf); }),
      kind<api_quor_Symlink_req_t>("Symlink req", 20, qel_xdr_api_quor_Symlink_req_t,
                                   [](api_quor_Symlink_req_t* r) {
                                     r->Path = dup("/a/b");
                                     r->Contents = dup("target");
                                   }),
      kind<api_quor_Umask_req_t>("Umask req", 4, qel_xdr_api_quor_Umask_req_t,
                                 [](api_quor_Umask_req_t* r) { r->CMask = 077; }),
      kind<api_quor_Umask_rply_t>("Umask rply", 4, qel_xdr_api_quor_Umask_rply_t,
                                  [](api_quor_Umask_rply_t* r) { r->OMask = 027; }),
      kind<api_quor_Utime_req_t>("Utime req", 16, qel_xdr_api_quor_Utime_req_t,
                                 [](api_quor_Utime_req_t* r) {
                                   r->Path = dup("/a/b");
                                   r->Times.actime = 1;
                                   r->Times.modtime = -2;
                                 }),
      kind<api_quor_Unlink_req_t>("Unlink req", 8, qel_xdr_api_quor_Unlink_req_t, fillPath),
  };
}

}  // namespace

// ---- golden wire forms ----

TEST(XdrNamespace, FilesetGetAttrsWithNoSelectorIs24Bytes) {
  api_quor_FilesetGetAttrs_req_t r;
  memset(&r, 0, sizeof r);
  strcpy(r.Name, "not sent");
  r.FilesetId = 77;
  r.CoreServerID = 5;
  r.FilesetAttrBits = 0x0000000100000003ULL;
  Bytes want = B().u32(0).u32(0).u32(0).u32(0).u32(1).u32(3);
  ASSERT_EQ(24u, want.size());
  expect_golden(qel_xdr_api_quor_FilesetGetAttrs_req_t, &r, want);

  api_quor_FilesetGetAttrs_req_t back;
  memset(&back, 0, sizeof back);
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_FilesetGetAttrs_req_t, want, &back, &used));
  EXPECT_EQ(24u, used);
  EXPECT_EQ(0x0000000100000003ULL, back.FilesetAttrBits);
  EXPECT_EQ(0u, back.FilesetId);
  EXPECT_EQ('\0', back.Name[0]);
}

TEST(XdrNamespace, FilesetGetAttrsSendsOnlySelectedValues) {
  api_quor_FilesetGetAttrs_req_t r;
  memset(&r, 0, sizeof r);
  r.useName = 1;
  r.useSrvrID = 1;
  strcpy(r.Name, "fs1");
  r.FilesetId = 77;  // not selected
  r.CoreServerID = 0x0A0B0C0D;
  r.FilesetAttrBits = 0xFF;
  char name[128] = {'f', 's', '1'};
  Bytes want = B().u32(1).u32(0).u32(0).u32(1).raw(name, 128).u32(0x0A0B0C0D).u64(0xFF);
  ASSERT_EQ(16u + 128 + 4 + 8, want.size());
  expect_golden(qel_xdr_api_quor_FilesetGetAttrs_req_t, &r, want);

  api_quor_FilesetGetAttrs_req_t back;
  memset(&back, 0, sizeof back);
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_FilesetGetAttrs_req_t, want, &back));
  EXPECT_STREQ("fs1", back.Name);
  EXPECT_EQ(0x0A0B0C0Du, back.CoreServerID);
  EXPECT_EQ(0u, back.FilesetId);

  memset(&r, 0, sizeof r);
  r.useID = 1;
  r.useHandle = -1;  // any non-zero word selects
  r.FilesetId = 0x0102030405060708ULL;
  fillHandle(&r.FilesetHandle, 4);
  B want2;
  want2.u32(0).u32(1).i32(-1).u32(0).u64(0x0102030405060708ULL);
  handleWire(want2, 4).u64(0);
  expect_golden(qel_xdr_api_quor_FilesetGetAttrs_req_t, &r, want2);

  memset(&back, 0, sizeof back);
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_FilesetGetAttrs_req_t, want2, &back));
  EXPECT_EQ(0, memcmp(&r, &back, sizeof r));
}

TEST(XdrNamespace, UmaskUsesThePortableModeLayout) {
  api_quor_Umask_req_t q;
  q.CMask = 022;
  expect_golden(qel_xdr_api_quor_Umask_req_t, &q, B().u32(0x12));

  api_quor_Umask_rply_t a;
  a.OMask = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_Umask_rply_t, B().u32(0x12), &a));
  EXPECT_EQ(mode_t(022), a.OMask);

  api_quor_Mkdir_req_t m;
  m.Path = const_cast<char*>("/d");
  m.Mode = S_IFDIR | 0755;
  expect_golden(qel_xdr_api_quor_Mkdir_req_t, &m, B().str("/d").u32(0x101ED));
}

TEST(XdrNamespace, PathRequestsInWireOrder) {
  api_quor_Chown_req_t c;
  c.Path = const_cast<char*>("/x/y");
  c.Owner = 1000;
  c.Group = 20;
  expect_golden(qel_xdr_api_quor_Chown_req_t, &c,
               B().u32(4).raw({'/', 'x', '/', 'y'}).u32(1000).u32(20));

  api_quor_Symlink_req_t s;
  s.Path = const_cast<char*>("/new");
  s.Contents = const_cast<char*>("old/target");
  expect_golden(qel_xdr_api_quor_Symlink_req_t, &s, B().str("/new").str("old/target"));

  api_quor_Utime_req_t u;
  u.Path = const_cast<char*>("/f");
  u.Times.actime = 0x11223344;
  u.Times.modtime = -1;
  expect_golden(qel_xdr_api_quor_Utime_req_t, &u,
               B().u32(2).raw({'/', 'f'}).u32(0x11223344).raw({0xFF, 0xFF, 0xFF, 0xFF}));

  api_quor_ReadAttrs_req_t r;
  r.Dirdes = 7;
  r.OffsetIn = 0x0000000200000001ULL;
  r.EntryCount = 4000;
  r.GetAttributes = 1;
  expect_golden(qel_xdr_api_quor_ReadAttrs_req_t, &r, B().u32(7).u32(2).u32(1).u32(4000).u32(1));

  api_quor_FileGetXAttributes_req_t x;
  x.Path = const_cast<char*>("/f");
  x.Flags = 8;
  x.StorageLevel = 0;
  expect_golden(qel_xdr_api_quor_FileGetXAttributes_req_t, &x, B().str("/f").u32(8).u32(0));
}

TEST(XdrNamespace, ReadAttrsReplyDecodesIntoTheCallersArray) {
  B want;
  want.u32(2).u32(1).u32(0).u32(0x1234);
  want.u32(2).raw({'a', 0});
  handleWire(want, 1).u64(10);
  attrsWire(want, 1);
  want.u32(3).raw({'b', 'b', 0});
  handleWire(want, 2).u64(20);
  attrsWire(want, 2);
  ASSERT_EQ(16u + 2 * (8 + 44 + 8 + 592), want.b.size());

  ns_DirEntry_t entries[3];
  memset(entries, 0, sizeof entries);
  entries[2].ObjOffset = 0xABCD;  // beyond the reply: must stay
  api_quor_ReadAttrs_rply_t r;
  memset(&r, 0, sizeof r);
  r.Dirent = entries;
  r.DirentCapacity = 3;
  size_t used = 0;
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_ReadAttrs_rply_t, want, &r, &used));
  EXPECT_EQ(want.b.size(), used);
  EXPECT_EQ(2u, r.entryCount);
  EXPECT_EQ(1u, r.End);
  EXPECT_EQ(0x1234u, r.OffsetOut);
  EXPECT_EQ(entries, r.Dirent);

  ns_DirEntry_t e;
  memset(&e, 0, sizeof e);
  strcpy(e.Name, "a");
  fillHandle(&e.ObjHandle, 1);
  e.ObjOffset = 10;
  fillAttrs(&e.Attrs, 1);
  EXPECT_EQ(0, memcmp(&e, &entries[0], sizeof e));
  memset(&e, 0, sizeof e);
  strcpy(e.Name, "bb");
  fillHandle(&e.ObjHandle, 2);
  e.ObjOffset = 20;
  fillAttrs(&e.Attrs, 2);
  EXPECT_EQ(0, memcmp(&e, &entries[1], sizeof e));
  EXPECT_EQ(0xABCDu, entries[2].ObjOffset);

  // Releasing leaves the caller's array alone.
  release(qel_xdr_api_quor_ReadAttrs_rply_t, &r);
  EXPECT_EQ(entries, r.Dirent);

  // And the encoder produces the same bytes from those entries.
  expect_golden(qel_xdr_api_quor_ReadAttrs_rply_t, &r, want);
}

TEST(XdrNamespace, StatReplyDecodesIntoTheCallersRecord) {
  Bytes body = B()
                   .u32(1)
                   .u64(2)
                   .u32(3)
                   .u32(0)
                   .u32(4)
                   .u32(5)
                   .u32(0)
                   .u64(0)
                   .u32(6)
                   .u32(7)
                   .u32(8)
                   .u32(512)
                   .u32(9)
                   .u32(0)
                   .u32(0)
                   .u32(0)
                   .u32(0)
                   .u64(100)
                   .u32(040700);
  ASSERT_EQ(88u, body.size());
  for (auto decode : {qel_xdr_api_quor_Stat_rply_t, qel_xdr_api_quor_Lstat_rply_t}) {
    quor_stat_t st;
    memset(&st, 0xEE, sizeof st);
    api_quor_Stat_rply_t r;
    r.StatBuf = &st;
    ASSERT_TRUE(wire::decode(decode, body, &r));
    EXPECT_EQ(&st, r.StatBuf);
    EXPECT_EQ(1u, st.st_dev);
    EXPECT_EQ(2u, st.st_ino);
    EXPECT_EQ(3u, st.st_nlink);
    EXPECT_EQ(7u, st.quor_st_mtime);
    EXPECT_EQ(100u, st.st_size);
    EXPECT_EQ(040700u, st.st_mode);
    release(decode, &r);
    EXPECT_EQ(&st, r.StatBuf);  // the caller's record is not freed
  }
}

TEST(XdrNamespace, ConversionRecordsCarryTheirCount) {
  api_namespec_t specs[1];
  memset(specs, 0, sizeof specs);
  specs[0].Type = NS_NAMESPEC_USER;
  specs[0].Id = 1001;
  specs[0].RealmId = 3;
  strcpy(specs[0].Name, "alice");
  api_quor_ConvertIdsToNames_req_t r{1, specs};
  char name[128] = "alice";
  char realm[256] = {};
  Bytes want = B().u32(1).u32(2).u32(1001).u32(3).raw(name, 128).raw(realm, 256);
  expect_golden(qel_xdr_api_quor_ConvertIdsToNames_req_t, &r, want);

  api_quor_ConvertIdsToNames_rply_t back{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_ConvertIdsToNames_rply_t, want, &back));
  ASSERT_EQ(1, back.NumEntries);
  ASSERT_NE(nullptr, back.Specs);
  EXPECT_EQ(0, memcmp(specs, back.Specs, sizeof specs));
  release(qel_xdr_api_quor_ConvertIdsToNames_rply_t, &back);
  EXPECT_EQ(nullptr, back.Specs);
}

TEST(XdrNamespace, ListingRepliesPutTheCountFirst) {
  quor_global_fsent_t fs[1];
  memset(fs, 0, sizeof fs);
  fs[0].FilesetId = 5;
  strcpy(fs[0].FilesetName, "f");
  fs[0].CoreServerId = 6;
  api_quor_FilesetListAll_rply_t l{1, 0x0000000100000000ULL, 1, fs};
  Bytes want = B().u32(1).u32(1).u32(0).u32(1).u64(5).u32(2).raw({'f', 0}).u32(6);
  expect_golden(qel_xdr_api_quor_FilesetListAll_rply_t, &l, want);

  quor_junction_ent_t j[1];
  memset(j, 0, sizeof j);
  strcpy(j[0].JunctionPathName, "/jn");
  fillHandle(&j[0].FilesetHandle, 1);
  fillHandle(&j[0].JunctionHandle, 2);
  api_quor_GetJunctions_rply_t g{1, 9, 0, j};
  B wantj;
  wantj.u32(1).u64(9).u32(0);
  handleWire(wantj, 1).u32(4).raw({'/', 'j', 'n', 0});
  handleWire(wantj, 2);
  expect_golden(qel_xdr_api_quor_GetJunctions_rply_t, &g, wantj);
  api_quor_GetJunctions_rply_t gb{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_GetJunctions_rply_t, wantj, &gb));
  ASSERT_NE(nullptr, gb.JentPtr);
  EXPECT_EQ(0, memcmp(j, gb.JentPtr, sizeof j));
  release(qel_xdr_api_quor_GetJunctions_rply_t, &gb);
}

TEST(XdrNamespace, EmptyListingsLeaveTheEntryPointerNull) {
  Bytes empty = B().u32(0).u64(7).u32(1);
  api_quor_FilesetListAll_rply_t f{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_FilesetListAll_rply_t, empty, &f));
  EXPECT_EQ(0u, f.entryCount);
  EXPECT_EQ(7u, f.OffsetOut);
  EXPECT_EQ(1u, f.End);
  EXPECT_EQ(nullptr, f.FSentPtr);
  api_quor_GetJunctions_rply_t g{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_GetJunctions_rply_t, empty, &g));
  EXPECT_EQ(nullptr, g.JentPtr);
  api_quor_ConvertNamesToIds_rply_t c{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_ConvertNamesToIds_rply_t, B().u32(0), &c));
  EXPECT_EQ(nullptr, c.Specs);
}

TEST(XdrNamespace, StringRepliesAllocateOrFillTheGivenBuffer) {
  Bytes body = B().str("/home/me");
  api_quor_Getcwd_rply_t g{};
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_Getcwd_rply_t, body, &g));
  ASSERT_NE(nullptr, g.Buf);
  EXPECT_STREQ("/home/me", g.Buf);
  release(qel_xdr_api_quor_Getcwd_rply_t, &g);
  EXPECT_EQ(nullptr, g.Buf);

  char buf[QEL_NS_PATH_MAX + 1];
  api_quor_Readlink_rply_t rl{buf};
  ASSERT_TRUE(wire::decode(qel_xdr_api_quor_Readlink_rply_t, body, &rl));
  EXPECT_EQ(buf, rl.Contents);
  EXPECT_STREQ("/home/me", buf);
}

// ---- round trips ----

TEST(XdrNamespace, EveryMessageRoundTripsAtItsWireSize) {
  for (const wire::Case& k : kinds()) wire::expect_round_trip(k);
}

// ---- malformed input ----

TEST(XdrNamespace, EveryTruncationFails) {
  for (const wire::Case& k : kinds()) wire::expect_truncations_fail(k);
}

// A reply with more entries than the caller's array holds: the array gets
// what fits and nothing beyond it is touched; the rest is read past, so the
// whole body is consumed and the stream stays in step.
TEST(XdrNamespace, ReadAttrsReplyAboveTheCapacityKeepsWhatFits) {
  B body;
  body.u32(3).u32(0).u64(1);
  for (uint32_t i = 0; i < 3; i++) {
    body.u32(2).raw({uint8_t('a' + i), 0});
    handleWire(body, i).u64(i);
    attrsWire(body, i);
  }
  struct {
    uint32_t capacity;
    bool array;
    uint32_t kept;
  } cases[] = {{0, true, 0}, {2, true, 2}, {3, true, 3}, {5, false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capacity);
    // Room for the capacity, then a guard entry the decoder must not touch.
    ns_DirEntry_t entries[4];
    memset(entries, 0, sizeof entries);
    entries[c.capacity < 3 ? c.capacity : 3].ObjOffset = 0x6A6A;
    api_quor_ReadAttrs_rply_t r;
    memset(&r, 0, sizeof r);
    r.Dirent = c.array ? entries : nullptr;
    r.DirentCapacity = c.capacity;
    size_t used = 0;
    ASSERT_TRUE(wire::decode(qel_xdr_api_quor_ReadAttrs_rply_t, body, &r, &used));
    EXPECT_EQ(body.b.size(), used);
    EXPECT_EQ(c.kept, r.entryCount);
    EXPECT_EQ(1u, r.OffsetOut);
    for (uint32_t i = 0; i < c.kept; i++) EXPECT_EQ(i, entries[i].ObjOffset);
    if (c.capacity < 3) {
      EXPECT_EQ(0x6A6Au, entries[c.capacity].ObjOffset);
    }
  }
}

TEST(XdrNamespace, BadCountsAndLengthsAreRefused) {
  std::string longPath(QEL_NS_PATH_MAX + 1, 'p');
  B xattrHead;
  handleWire(xattrHead, 0);
  attrsWire(xattrHead, 0);
  const std::vector<wire::Bad> cases = {
      {"negative NumEntries, ids to names", B().i32(-1).zeros(396),
       decoder(qel_xdr_api_quor_ConvertIdsToNames_req_t)},
      {"negative NumEntries, reply", B().i32(-2),
       decoder(qel_xdr_api_quor_ConvertIdsToNames_rply_t)},
      {"most negative NumEntries", B().i32(INT32_MIN),
       decoder(qel_xdr_api_quor_ConvertNamesToIds_rply_t)},
      {"huge NumEntries", B().i32(INT32_MAX).zeros(396),
       decoder(qel_xdr_api_quor_ConvertNamesToIds_req_t)},
      {"huge fileset count", B().u32(0xFFFFFFFF).u64(0).u32(0).zeros(24),
       decoder(qel_xdr_api_quor_FilesetListAll_rply_t)},
      {"fileset count beyond the data", B().u32(100000).u64(0).u32(0).zeros(24 * 3),
       decoder(qel_xdr_api_quor_FilesetListAll_rply_t)},
      {"huge junction count", B().u32(0x10000000).u64(0).u32(0).zeros(96),
       decoder(qel_xdr_api_quor_GetJunctions_rply_t)},
      {"path over 1024", B().str(longPath.c_str()), decoder(qel_xdr_api_quor_Stat_req_t)},
      {"path length huge", B().u32(0xFFFFFFF0).zeros(8), decoder(qel_xdr_api_quor_Chdir_req_t)},
      {"second path over 1024", B().str("/a").str(longPath.c_str()),
       decoder(qel_xdr_api_quor_Rename_req_t)},
      {"link text over 1024", B().str(longPath.c_str()),
       decoder(qel_xdr_api_quor_Readlink_rply_t)},
      {"eleven volumes in extended attributes",
       B().cat(xattrHead.b).u32(11).zeros(28 + 11 * 44 + 4 * 32),
       decoder(qel_xdr_api_quor_FileGetXAttributes_rply_t)},
  };
  wire::expect_all_refused(cases);

  // A 1024-character path is the longest accepted.
  std::string maxPath(QEL_NS_PATH_MAX, 'p');
  EXPECT_TRUE(decoder(qel_xdr_api_quor_Stat_req_t)(B().str(maxPath.c_str())));
}

TEST(XdrNamespace, EncodingRefusesWhatCannotBeSent) {
  bool ok = true;
  api_quor_Stat_req_t s{nullptr};
  wire::encode(qel_xdr_api_quor_Stat_req_t, &s, &ok);
  EXPECT_FALSE(ok) << "null path";

  std::string longPath(QEL_NS_PATH_MAX + 1, 'p');
  s.Path = longPath.data();
  ok = true;
  wire::encode(qel_xdr_api_quor_Stat_req_t, &s, &ok);
  EXPECT_FALSE(ok) << "path over 1024";

  api_namespec_t oneName{};
  api_quor_ConvertIdsToNames_req_t c{-1, &oneName};
  ok = true;
  wire::encode(qel_xdr_api_quor_ConvertIdsToNames_req_t, &c, &ok);
  EXPECT_FALSE(ok) << "negative NumEntries";

  api_quor_Stat_rply_t sr{nullptr};
  ok = true;
  wire::encode(qel_xdr_api_quor_Stat_rply_t, &sr, &ok);
  EXPECT_FALSE(ok) << "stat reply without a record";
  EXPECT_FALSE(wire::decode(qel_xdr_api_quor_Stat_rply_t, B().zeros(88), &sr))
      << "stat reply decoded with no record to fill";

  api_quor_ReadAttrs_rply_t ra{};
  ra.entryCount = 1;
  ok = true;
  wire::encode(qel_xdr_api_quor_ReadAttrs_rply_t, &ra, &ok);
  EXPECT_FALSE(ok) << "entries announced without an array";
}
