// The ustar member header: its fields, building one from an index entry,
// decoding and checking one read from an archive.
#ifndef BRIX_BRIX_USTAR_H
#define BRIX_BRIX_USTAR_H

#include <stddef.h>
#include <stdint.h>

#include "brix.h"
#include "brix_index.h"

struct posix_header_t {
  char thb_name[100];
  char thb_mode[8];
  char thb_uid[8];
  char thb_gid[8];
  char thb_size[12];
  char thb_mtime[12];
  char thb_chksum[8];
  char thb_typeflag;
  char thb_linkname[100];
  char thb_magic[6];
  char thb_version[2];
  char thb_uname[32];
  char thb_gname[32];
  char thb_devmajor[8];
  char thb_devminor[8];
  char thb_prefix[155];
};
static_assert(sizeof(posix_header_t) == 500, "ustar header fields are 500 bytes");

constexpr int BRIX_TAR_EOF = -999999;
constexpr size_t BRIX_BLOCK = 512;

void brix_BuildPosixHeader(const bif_entry_t* entry, unsigned char block[512]);
int brix_GetTarHeader(const unsigned char block[512], posix_header_t* hdr);
int brix_ReadHdrBlock(int archiveFd, posix_header_t* hdr);
uint64_t brix_GetMemberFilesize(const posix_header_t* hdr);
// Octal writers: 0, or -1 when the value overflowed (the low digits stay).
int Uint32_tToOctal(uint32_t value, char* field, int width, int nulFlag, const char* fieldName);
int Uint64_tToOctal(uint64_t value, char* field, int width, int nulFlag, const char* fieldName);
int OctalToUint32_t(uint32_t* value, int width, const char* field, const char* fieldName);
int OctalToUint64_t(uint64_t* value, int width, const char* field, const char* fieldName);
// An id field: octal when it fits, else the base-256 form GNU tar reads.
void brix_IdToField(uint32_t value, char field[8]);

// A ustar block whose checksum is right, whatever its typeflag (a header
// this program does not take may still say how much data follows it).
int brix_TarHeaderChecksumOk(const unsigned char block[512]);
// A uid or gid field of a member header: octal, or the base-256 form
// (first byte 0x80) that large ids take.
uint32_t brix_TarIdField(const char field[8]);

#endif
