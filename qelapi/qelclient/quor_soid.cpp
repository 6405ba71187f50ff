// Storage object ids: fields, hash and text form; see quor_api.h.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quor_api.h"
#include "quor_net.h"

namespace {

enum { SYSTEM_AT = 0, TYPE_AT = 4, SERVER_AT = 5, CLOCK_AT = 9, SEQ_AT = 17 };

// Up to width hex digits (at least one) at *p: true with the value and *p
// moved past them.
bool hexField(const char** p, int width, uint64_t* value) {
  uint64_t v = 0;
  int n = 0;
  for (const char* s = *p; n < width; s++, n++) {
    int d;
    if (*s >= '0' && *s <= '9') d = *s - '0';
    else if (*s >= 'a' && *s <= 'f') d = *s - 'a' + 10;
    else if (*s >= 'A' && *s <= 'F') d = *s - 'A' + 10;
    else break;
    v = (v << 4) | unsigned(d);
  }
  if (n == 0) return false;
  *p += n;
  *value = v;
  return true;
}

}  // namespace

int SOIDs_AreEqual(const quoroid_t* Soid1, const quoroid_t* Soid2) {
  if (!Soid1 || !Soid2) return -14;
  for (int i = 0; i < QUOROID_LEN; i++)
    if (Soid1->Bytes[i] != Soid2->Bytes[i]) return int(Soid1->Bytes[i]) - int(Soid2->Bytes[i]);
  return 0;
}

int SOID_GetSystemID(const quoroid_t* Soid, quor_id_t* SystemID) {
  if (!Soid || !SystemID) return -14;
  quor_decode_32(Soid->Bytes, SYSTEM_AT, SystemID);
  return 0;
}

int SOID_GetServerID(const quoroid_t* Soid, quor_srvr_id_t* ServerID) {
  if (!Soid || !ServerID) return -14;
  quor_decode_32(Soid->Bytes, SERVER_AT, ServerID);
  return 0;
}

int SOID_GetType(const quoroid_t* Soid, quor_obj_type_t* Type) {
  if (!Soid || !Type) return -14;
  int t = static_cast<int8_t>(Soid->Bytes[TYPE_AT]);
  if (t <= quor_obj_type_invalid || t >= quor_obj_type_max) {
    *Type = quor_obj_type_invalid;
    return -34;
  }
  *Type = static_cast<quor_obj_type_t>(t);
  return 0;
}

int SOID_GetBinaryData(const quoroid_t* Soid, uint64_t* Data64P, uint16_t* Data16P) {
  if (!Soid || !Data64P || !Data16P) return -14;
  quor_decode_64(Soid->Bytes, CLOCK_AT, Data64P);
  quor_decode_16(Soid->Bytes, SEQ_AT, Data16P);
  return 0;
}

int SOID_GetHash(const quoroid_t* Soid, uint32_t* HashP) {
  if (!Soid || !HashP) return -14;
  uint64_t clock;
  uint16_t seq;
  SOID_GetBinaryData(Soid, &clock, &seq);
  uint64_t sum = clock + seq;
  *HashP = uint32_t(sum >> 32) ^ uint32_t(sum);
  return 0;
}

int SOID_ToString(const quoroid_t* SOIDP, char** StringPP) {
  if (!SOIDP || !StringPP) return -14;
  char* s = static_cast<char*>(malloc(43));
  if (!s) return -12;
  quor_id_t sys;
  quor_srvr_id_t srv;
  uint64_t clock;
  uint16_t seq;
  SOID_GetSystemID(SOIDP, &sys);
  SOID_GetServerID(SOIDP, &srv);
  SOID_GetBinaryData(SOIDP, &clock, &seq);
  // The type byte prints as the byte it is: two digits whatever its value,
  // so the text always fits its 43 bytes.
  snprintf(s, 43, "%.8x-%.2x-%.8x-%.16llx-%.4x", unsigned(sys), unsigned(SOIDP->Bytes[TYPE_AT]),
           unsigned(srv), static_cast<unsigned long long>(clock), unsigned(seq));
  *StringPP = s;
  return 0;
}

int SOID_FromString(const char* StringP, quoroid_t* SOIDP) {
  if (!StringP || !SOIDP) return -14;
  static const int widths[5] = {8, 2, 8, 16, 4};
  uint64_t f[5];
  const char* p = StringP;
  for (int i = 0; i < 5; i++) {
    if (i > 0 && *p++ != '-') return -14;
    if (!hexField(&p, widths[i], &f[i])) return -14;
  }
  quor_encode_32(SOIDP->Bytes, SYSTEM_AT, uint32_t(f[0]));
  SOIDP->Bytes[TYPE_AT] = uint8_t(f[1]);
  quor_encode_32(SOIDP->Bytes, SERVER_AT, uint32_t(f[2]));
  quor_encode_64(SOIDP->Bytes, CLOCK_AT, f[3]);
  quor_encode_16(SOIDP->Bytes, SEQ_AT, uint16_t(f[4]));
  return 0;
}
