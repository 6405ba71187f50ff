#include "object_records.h"

#include <stdio.h>
#include <string.h>

namespace objwire {

void fillHandle(ns_ObjHandle_t* h, uint32_t s) {
  h->ObjId = 0x0100000000000001ULL + s;
  h->ObjNsHash = uint16_t(0x0200 + s);
  h->FileId = 0x0300000000000003ULL + s;
  h->FileNsHash = uint16_t(0x0400 + s);
  h->Type = uint8_t(0x50 + s);
  h->Flags = uint8_t(0x60 + s);
  h->Generation = 0x0700000000000007ULL + s;
  h->CoreServerId = 0x08000008u + s;
}

B& handleWire(B& b, uint32_t s) {
  return b.u64(0x0100000000000001ULL + s)
      .u32(uint16_t(0x0200 + s))
      .u64(0x0300000000000003ULL + s)
      .u32(uint16_t(0x0400 + s))
      .u32(uint8_t(0x50 + s))
      .u32(uint8_t(0x60 + s))
      .u64(0x0700000000000007ULL + s)
      .u32(0x08000008u + s);
}

void oidBytes(uint8_t* o, uint8_t first) {
  for (int i = 0; i < QUOROID_LEN; i++) o[i] = uint8_t(first + i);
}

B& oidWire(B& b, uint8_t first) {
  uint8_t o[QUOROID_LEN];
  oidBytes(o, first);
  return b.raw(o, sizeof o);
}

void fillTrash(quor_TrashRecord_t* t, uint32_t s, const char* path, const char* name) {
  t->ParentId = (uint64_t(s) << 32) | 101;
  t->ParentNsHash = uint16_t(102 + s);
  fillHandle(&t->Handle, s + 2);
  t->UID = (s << 16) | 103;
  t->RealmId = (s << 16) | 104;
  t->TimeDeleted = (s << 16) | 105;
  t->TimeCreated = (s << 16) | 106;
  t->TimeLastRead = (s << 16) | 107;
  t->TimeModified = (s << 16) | 108;
  t->LengthAtDeleteTime = (uint64_t(s) << 32) | 109;
  oidBytes(t->BitfileId.Bytes, uint8_t(0x80 + s));
  t->BitfileHash = uint16_t(110 + s);
  strcpy(t->Path, path);
  strcpy(t->Name, name);
}

B& trashWire(B& b, uint32_t s, const char* path, const char* name) {
  b.u64((uint64_t(s) << 32) | 101).u32(uint16_t(102 + s));
  handleWire(b, s + 2);
  b.u32((s << 16) | 103)
      .u32((s << 16) | 104)
      .u32((s << 16) | 105)
      .u32((s << 16) | 106)
      .u32((s << 16) | 107)
      .u32((s << 16) | 108)
      .u64((uint64_t(s) << 32) | 109);
  oidWire(b, uint8_t(0x80 + s));
  return b.u32(uint16_t(110 + s)).fstr(path).fstr(name);
}

void fillAttrs(quor_Attrs_t* a, uint32_t s) {
  auto v = [s](uint32_t k) { return (s << 16) | k; };
  auto w = [s](uint32_t k) { return (uint64_t(s) << 32) | k; };
  a->Account = v(1);
  oidBytes(a->BitfileObj.BfId.Bytes, uint8_t(0x20 + s));
  a->BitfileObj.BfHash = uint16_t(0x0B00 + s);
  a->BitfileObj.ValidHash = v(3);
  snprintf(a->Comment, sizeof a->Comment, "comment %u", s);
  a->CompositePerms = v(4);
  a->COSId = v(5);
  a->DataLength = w(6);
  a->EntryCount = v(7);
  a->ExtendedACLs = v(8);
  a->FamilyId = v(9);
  fillHandle(&a->FilesetHandle, s + 1);
  a->FilesetId = w(10);
  a->FilesetRootObjectId = w(11);
  a->FilesetStateFlags = v(12);
  a->FilesetType = v(13);
  a->GID = v(14);
  a->GroupPerms = v(15);
  a->LinkCount = v(16);
  a->ModePerms = v(17);
  a->OpenCount = v(18);
  a->OptionFlags = v(19);
  a->OtherPerms = v(20);
  a->ReadCount = v(21);
  a->RealmId = v(22);
  a->RegisterBitMap = w(23);
  a->SubSystemId = v(24);
  a->TimeCreated = v(25);
  a->TimeLastRead = v(26);
  a->TimeLastWritten = v(27);
  a->TimeModified = v(28);
  fillTrash(&a->TrashInfo, s, "", "");
  a->Type = v(29);
  a->UID = v(30);
  a->UserPerms = v(31);
  a->WriteCount = v(32);
}

// 592 bytes: the trash record's strings are empty.
B& attrsWire(B& b, uint32_t s) {
  auto v = [s](uint32_t k) { return (s << 16) | k; };
  auto w = [s](uint32_t k) { return (uint64_t(s) << 32) | k; };
  char comment[256] = {};
  snprintf(comment, sizeof comment, "comment %u", s);
  b.u32(v(1));
  oidWire(b, uint8_t(0x20 + s)).u32(uint16_t(0x0B00 + s)).u32(v(3));
  b.raw(comment, sizeof comment);
  b.u32(v(4))  // CompositePerms
      .u32(v(5))  // COSId
      .u64(w(6))
      .u32(v(7))
      .u32(v(8))
      .u32(v(9));
  handleWire(b, s + 1);
  b.u64(w(10)).u64(w(11));
  for (uint32_t k = 12; k <= 22; k++) b.u32(v(k));
  b.u64(w(23));
  for (uint32_t k = 24; k <= 28; k++) b.u32(v(k));
  trashWire(b, s, "", "");
  return b.u32(v(29)).u32(v(30)).u32(v(31)).u32(v(32));
}

}  // namespace objwire
