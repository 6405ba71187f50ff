// Storage object ids: fields, hash, comparison and the text form both ways.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "quor_api.h"

namespace {

quoroid_t makeId(uint32_t sys, uint8_t type, uint32_t srv, uint64_t clock, uint16_t seq) {
  quoroid_t id;
  quor_encode_32(id.Bytes, 0, sys);
  id.Bytes[4] = type;
  quor_encode_32(id.Bytes, 5, srv);
  quor_encode_64(id.Bytes, 9, clock);
  quor_encode_16(id.Bytes, 17, seq);
  return id;
}

std::string text(const quoroid_t& id) {
  char* s = nullptr;
  if (SOID_ToString(&id, &s) != 0) return "failed";
  std::string out = s;
  free(s);
  return out;
}

TEST(Soid, TextFormBothWays) {
  quoroid_t id = makeId(1, 7, 2, 3, 255);
  EXPECT_EQ(text(id), "00000001-07-00000002-0000000000000003-00ff");
  quoroid_t back;
  memset(&back, 0xEE, sizeof back);
  ASSERT_EQ(SOID_FromString("00000001-07-00000002-0000000000000003-00ff", &back), 0);
  EXPECT_EQ(memcmp(back.Bytes, id.Bytes, QUOROID_LEN), 0);

  quoroid_t wide = makeId(0xdeadbeef, 9, 0xffffffff, 0x0123456789abcdefULL, 0xfffe);
  std::string t = text(wide);
  EXPECT_EQ(t, "deadbeef-09-ffffffff-0123456789abcdef-fffe");
  EXPECT_EQ(t.size(), 42u);
  ASSERT_EQ(SOID_FromString("DEADBEEF-09-FFFFFFFF-0123456789ABCDEF-FFFE trailing", &back), 0);
  EXPECT_EQ(SOIDs_AreEqual(&back, &wide), 0);
  // Short fields are read as the width allows.
  ASSERT_EQ(SOID_FromString("1-7-2-3-ff", &back), 0);
  EXPECT_EQ(SOIDs_AreEqual(&back, &id), 0);
}

TEST(Soid, BadTextLeavesTheIdAlone) {
  const char* bad[] = {
      "00000001-07-00000002-0000000000000003",   // four fields
      "00000001-07-00000002-0000000000000003-",  // empty fifth
      "000000001-07-00000002-0000000000000003-00ff",  // nine digits in the first
      "00000001_07-00000002-0000000000000003-00ff",
      "x0000001-07-00000002-0000000000000003-00ff",
      "",
  };
  for (const char* b : bad) {
    quoroid_t id;
    memset(&id, 0x5A, sizeof id);
    EXPECT_EQ(SOID_FromString(b, &id), -14) << b;
    for (uint8_t c : id.Bytes) EXPECT_EQ(c, 0x5A) << b;
  }
}

TEST(Soid, TypeByteAboveTheValidRangeStillPrintsAsTwoDigits) {
  quoroid_t id = makeId(1, 0x80, 2, 3, 4);
  EXPECT_EQ(text(id), "00000001-80-00000002-0000000000000003-0004");
  quor_obj_type_t type = quor_obj_type_bitfile;
  EXPECT_EQ(SOID_GetType(&id, &type), -34);
  EXPECT_EQ(type, quor_obj_type_invalid);
}

TEST(Soid, Fields) {
  quoroid_t id = makeId(0x01020304, 4, 0xa0b0c0d0, 0x1122334455667788ULL, 0x99aa);
  quor_id_t sys = 0;
  quor_srvr_id_t srv = 0;
  uint64_t clock = 0;
  uint16_t seq = 0;
  quor_obj_type_t type = quor_obj_type_invalid;
  EXPECT_EQ(SOID_GetSystemID(&id, &sys), 0);
  EXPECT_EQ(sys, 0x01020304u);
  EXPECT_EQ(SOID_GetServerID(&id, &srv), 0);
  EXPECT_EQ(srv, 0xa0b0c0d0u);
  EXPECT_EQ(SOID_GetBinaryData(&id, &clock, &seq), 0);
  EXPECT_EQ(clock, 0x1122334455667788ULL);
  EXPECT_EQ(seq, 0x99aa);
  EXPECT_EQ(SOID_GetType(&id, &type), 0);
  EXPECT_EQ(type, quor_obj_type_volume_tape);
  for (uint8_t bad : {uint8_t(0), uint8_t(10)}) {
    id.Bytes[4] = bad;
    type = quor_obj_type_bitfile;
    EXPECT_EQ(SOID_GetType(&id, &type), -34);
    EXPECT_EQ(type, quor_obj_type_invalid);
  }
}

TEST(Soid, HashAndComparison) {
  uint32_t h = 1;
  quoroid_t wrap = makeId(1, 7, 2, UINT64_MAX, 1);
  EXPECT_EQ(SOID_GetHash(&wrap, &h), 0);
  EXPECT_EQ(h, 0u);
  quoroid_t id = makeId(1, 7, 2, 0x0000000500000003ULL, 2);
  EXPECT_EQ(SOID_GetHash(&id, &h), 0);
  EXPECT_EQ(h, 5u ^ 5u);
  id = makeId(1, 7, 2, 0x0000000100000003ULL, 0);
  EXPECT_EQ(SOID_GetHash(&id, &h), 0);
  EXPECT_EQ(h, 2u);

  quoroid_t a = makeId(1, 7, 2, 3, 4), b = a;
  EXPECT_EQ(SOIDs_AreEqual(&a, &b), 0);
  b.Bytes[18] = 5;
  EXPECT_EQ(SOIDs_AreEqual(&a, &b), -1);
  EXPECT_EQ(SOIDs_AreEqual(&b, &a), 1);
  b.Bytes[0] = 0xff;
  EXPECT_LT(SOIDs_AreEqual(&a, &b), -1);
}

TEST(Soid, NullArguments) {
  quoroid_t id = makeId(1, 7, 2, 3, 4);
  char* s = nullptr;
  uint32_t u = 0;
  uint64_t c = 0;
  uint16_t q = 0;
  quor_obj_type_t t;
  EXPECT_EQ(SOIDs_AreEqual(nullptr, &id), -14);
  EXPECT_EQ(SOIDs_AreEqual(&id, nullptr), -14);
  EXPECT_EQ(SOID_GetSystemID(&id, nullptr), -14);
  EXPECT_EQ(SOID_GetServerID(nullptr, &u), -14);
  EXPECT_EQ(SOID_GetType(&id, nullptr), -14);
  EXPECT_EQ(SOID_GetBinaryData(&id, &c, nullptr), -14);
  EXPECT_EQ(SOID_GetBinaryData(&id, nullptr, &q), -14);
  EXPECT_EQ(SOID_GetHash(nullptr, &u), -14);
  EXPECT_EQ(SOID_ToString(&id, nullptr), -14);
  EXPECT_EQ(SOID_ToString(nullptr, &s), -14);
  EXPECT_EQ(SOID_FromString(nullptr, &id), -14);
  EXPECT_EQ(SOID_FromString("1-7-2-3-4", nullptr), -14);
  (void)t;
}

}  // namespace
