// The ustar member header: building it from an index entry, checking one
// read from an archive, and the octal field writers and readers.
#include <string.h>

#include "brix_blockio.h"
#include "brix_ustar.h"
#include "quor_convert.h"

namespace {

// Offsets of the header fields, as the readers of other tar programs expect.
constexpr size_t OFF_NAME = 0, OFF_MODE = 100, OFF_UID = 108, OFF_GID = 116, OFF_SIZE = 124,
                 OFF_MTIME = 136, OFF_CHKSUM = 148, OFF_TYPEFLAG = 156, OFF_LINKNAME = 157,
                 OFF_MAGIC = 257, OFF_VERSION = 263, OFF_UNAME = 265, OFF_GNAME = 297,
                 OFF_DEVMAJOR = 329, OFF_DEVMINOR = 337, OFF_PREFIX = 345;
constexpr uint32_t OCTAL7_MAX = 2097151;

// Writes value into the field from the right; returns the bits left over.
uint64_t writeOctal(uint64_t value, char* field, int width, int nulFlag) {
  int digits = width;
  if (nulFlag) {
    field[width - 1] = '\0';
    digits--;
  }
  int pos = digits - 1;
  while (pos >= 0 && value != 0) {
    field[pos--] = char('0' + (value & 7));
    value >>= 3;
  }
  while (pos >= 0) field[pos--] = '0';
  return value;
}

}  // namespace

int Uint32_tToOctal(uint32_t value, char* field, int width, int nulFlag, const char* fieldName) {
  if (writeOctal(value, field, width, nulFlag) != 0) {
    brix_Log(BRIX_MSG_ERROR, "[%s]Octal field [%s] overflow - width=%d value=%ld\n",
             "Uint32_tToOctal", fieldName, width, long(value));
    return -1;
  }
  return 0;
}

int Uint64_tToOctal(uint64_t value, char* field, int width, int nulFlag, const char* fieldName) {
  if (writeOctal(value, field, width, nulFlag) != 0) {
    char text[32];
    brix_Log(BRIX_MSG_ERROR, "[%s]Octal field [%s] overflow - width=%d value=%s\n",
             "Uint64_tToOctal", fieldName, width, u64tostr_r(value, text));
    return -1;
  }
  return 0;
}

void brix_IdToField(uint32_t value, char field[8]) {
  if (value <= OCTAL7_MAX) {
    writeOctal(value, field, 8, 1);
    return;
  }
  // Too large for seven octal digits: the base-256 form, a leading 0x80
  // byte and the value big-endian in the other seven, so the id is never
  // cut to its low digits.
  field[0] = char(0x80);
  uint64_t v = value;
  for (int i = 7; i >= 1; i--) {
    field[i] = char(v & 0xFF);
    v >>= 8;
  }
}

int OctalToUint32_t(uint32_t* value, int width, const char* field, const char*) {
  uint32_t v = 0;
  for (int i = 0; i < width; i++) {
    char c = field[i];
    if (c == ' ' || c == '\0') {
      if (v != 0) break;
      continue;
    }
    if (c < '0' || c > '7') {
      *value = v;
      return -1;
    }
    v = v * 8 + uint32_t(c - '0');
  }
  *value = v;
  return 0;
}

int OctalToUint64_t(uint64_t* value, int width, const char* field, const char*) {
  uint64_t v = 0;
  bool digit = false;
  for (int i = 0; i < width; i++) {
    char c = field[i];
    if (c == ' ' || c == '\0') {
      if (digit) break;
      continue;
    }
    if (c < '0' || c > '7') {
      *value = v;
      return -1;
    }
    v = v * 8 + uint64_t(c - '0');
    digit = true;
  }
  *value = v;
  return 0;
}

void brix_BuildPosixHeader(const bif_entry_t* entry, unsigned char block[512]) {
  memset(block, 0, 512);
  char* b = reinterpret_cast<char*>(block);
  memcpy(b + OFF_NAME, entry->bent_name, 100);
  Uint32_tToOctal(entry->bent_mode, b + OFF_MODE, 8, 1, "thb_mode");
  brix_IdToField(entry->bent_uid, b + OFF_UID);
  brix_IdToField(entry->bent_gid, b + OFF_GID);
  Uint64_tToOctal(entry->bent_fsize, b + OFF_SIZE, 12, 0, "thb_size");
  Uint32_tToOctal(entry->bent_mtime, b + OFF_MTIME, 12, 1, "thb_mtime");
  memcpy(b + OFF_PREFIX, entry->bent_prefix, 155);
  switch (entry->bent_type) {
    case BTO_FILE:
    case BTO_HARDLINK:
      b[OFF_TYPEFLAG] = '0';
      break;
    case BTO_DIRECTORY:
      b[OFF_TYPEFLAG] = '5';
      break;
    case BTO_SYMLINK:
      b[OFF_TYPEFLAG] = '2';
      break;
    default: {
      char name[101];
      memcpy(name, entry->bent_name, 100);
      name[100] = '\0';
      brix_Log(BRIX_MSG_ERROR, "Internal error [%s,line %d]. Bad object type %d for %s\n",
               brix_FunctionToString(), __LINE__, int(entry->bent_type), name);
      break;
    }
  }
  memcpy(b + OFF_LINKNAME, entry->bent_linkname, 100);
  memcpy(b + OFF_MAGIC, "ustar", 6);
  memcpy(b + OFF_VERSION, "00", 2);
  memcpy(b + OFF_UNAME, entry->bent_uname, 32);
  memcpy(b + OFF_GNAME, entry->bent_gname, 32);
  Uint32_tToOctal(0, b + OFF_DEVMAJOR, 8, 1, "thb_devmajor");
  Uint32_tToOctal(0, b + OFF_DEVMINOR, 8, 1, "thb_devminor");
  unsigned sum = 256;  // the checksum field counts as eight blanks
  for (int i = 0; i < 512; i++) sum += block[i];
  char chk[8];
  snprintf(chk, sizeof chk, "%6o", sum);
  memcpy(b + OFF_CHKSUM, chk, 7);
  b[OFF_CHKSUM + 7] = ' ';
}

int brix_GetTarHeader(const unsigned char block[512], posix_header_t* hdr) {
  memcpy(hdr, block, sizeof *hdr);
  uint32_t stored = 0;
  OctalToUint32_t(&stored, 8, reinterpret_cast<const char*>(block) + OFF_CHKSUM, "checksum");
  long usum = 0, ssum = 0;
  for (int i = 0; i < 512; i++) {
    usum += block[i];
    ssum += static_cast<signed char>(block[i]);
  }
  if (usum == 0) {
    if (brix_debug_level >= 1)
      fprintf(stderr, "/debug/ %s: zeroed block header (EOF) found \n", "brix_GetTarHeader");
    return BRIX_TAR_EOF;
  }
  for (int i = 0; i < 8; i++) {
    usum -= static_cast<signed char>(block[OFF_CHKSUM + i]);
    ssum -= static_cast<signed char>(block[OFF_CHKSUM + i]);
  }
  usum += 256;
  ssum += 256;
  if (usum != long(stored) && ssum != long(stored)) {
    brix_Log(BRIX_MSG_ERROR, "Checksum mismatch: header value = %d, calculated value=%d\n",
             int(stored), int(usum));
    brix_SetExitCode(72);
    return -1;
  }
  char t = static_cast<char>(block[OFF_TYPEFLAG]);
  if (t != '\0' && t != '0' && t != '1' && t != '2' && t != '5') {
    brix_Log(BRIX_MSG_INFO, "Tar Entry type '%c' not currently supported by BRIX\n", t);
    brix_SetExitCode(72);
    return -1;
  }
  return 0;
}

int brix_ReadHdrBlock(int archiveFd, posix_header_t* hdr) {
  unsigned char block[512];
  ssize_t n = brix_ReadArchive(archiveFd, sizeof block, block);
  if (n < ssize_t(sizeof block)) {
    brix_SetExitCode(72);
    return -1;
  }
  return brix_GetTarHeader(block, hdr);
}

uint64_t brix_GetMemberFilesize(const posix_header_t* hdr) {
  const unsigned char* f = reinterpret_cast<const unsigned char*>(hdr->thb_size);
  if (f[0] & 0x80) {
    // Base-256, as GNU tar writes sizes of 8 GiB and more: big-endian in the
    // other bits. A negative size (0xFF lead) is no size at all.
    if (f[0] == 0xFF) return 0;
    uint64_t size = f[0] & 0x7F;
    for (int i = 1; i < 12; i++) {
      if (size >> 56) return UINT64_MAX;  // past any archive: the caller's bounds catch it
      size = (size << 8) | f[i];
    }
    return size;
  }
  uint64_t size = 0;
  for (int i = 0; i < 12; i++) {
    char c = hdr->thb_size[i];
    if (c == ' ' || c == '\0') {
      if (size != 0) break;
      continue;
    }
    if (c < '0' || c > '7') {
      if ((brix_option_flags & BRIX_OPT_VERBOSE) || brix_debug_level >= 1)
        brix_Log(BRIX_MSG_INFO, "Warning: non-octal digit [%c] found in tar filesize field\n", c);
      break;
    }
    size = size * 8 + uint64_t(c - '0');
  }
  return size;
}

int brix_TarHeaderChecksumOk(const unsigned char block[512]) {
  uint32_t stored = 0;
  if (OctalToUint32_t(&stored, 8, reinterpret_cast<const char*>(block) + OFF_CHKSUM, "checksum") != 0)
    return 0;
  long usum = 256, ssum = 256;
  for (int i = 0; i < 512; i++) {
    if (i >= int(OFF_CHKSUM) && i < int(OFF_CHKSUM + 8)) continue;
    usum += block[i];
    ssum += static_cast<signed char>(block[i]);
  }
  return usum == long(stored) || ssum == long(stored);
}

uint32_t brix_TarIdField(const char field[8]) {
  if (static_cast<unsigned char>(field[0]) == 0x80) {
    uint64_t v = 0;
    for (int i = 1; i < 8; i++) v = (v << 8) | static_cast<unsigned char>(field[i]);
    return uint32_t(v);
  }
  uint32_t v = 0;
  OctalToUint32_t(&v, 8, field, "id");
  return v;
}
