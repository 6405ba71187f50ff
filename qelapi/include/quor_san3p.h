/* SAN3P transfers: the client moves a piece of a transfer itself between
 * its memory and a disk it shares with the storage service, where the
 * mover's device address says, in whole device blocks (partial first and
 * last blocks are read, merged and written back). Every failure is written
 * to standard error as "ROUTINE: message" and returned negative: the
 * receive's error, -22 a bad device address (block size 0, no device name,
 * a block offset not below the block size, a position past 2^63), -12
 * memory, -5 a short device transfer, -2 a device id the device-id cache
 * does not know, or the negated errno.
 *
 * quor_SAN3PRead / quor_SAN3PWrite
 *      receive the device address on the mover's control socket, then read
 *      Length bytes from the device into Buffer / write them from Buffer:
 *      0 or a negative error; *RetLength the bytes moved before any error.
 *      AddrIn (the SAN3P address the client sent) is not consulted.
 * quor_SAN3PSetErrorText  "Routine: " and the formatted text on stderr.
 *
 * The device-id cache maps device UUIDs to local paths from the file
 * "quor_san3p.0.ids" in /var/tmp (tests set the directory with
 * QUOR_TEST_SAN3P_DIR): lines "PATH UUID WWN" (WWN sixteen hex digits, upper
 * half first), "#" comments, fields of at most 63 characters. The file is
 * looked at again every 120 seconds and reloaded when it changed more than
 * 300 seconds after the last load, or predates the last boot.
 *
 * quor_SAN3PGetDevicePath  the path of a device UUID into DevPath
 *      (DevPathLen bytes, always terminated): 0; -2 unknown device; -22 null
 *      DevPath or DevPathLen 0; -34 a path that does not fit; -5000 the
 *      file's time cannot be read; or the load's error.
 * quor_SAN3PGetPartTable   reads the disk label at byte 0 (versions 1 and
 *      2): 0, -5 short read, -12, -22 not a label / bad version / more than
 *      16 partitions, or the block-size error.
 * quor_SAN3PUpdatePartTable writes a version-2 label at byte 0: 0, -22
 *      (not version 2, more than 16 partitions), -5, -12.
 * quor_SAN3PGetTableVersion *Version from "QUOR_SAN_VOL_" and three
 *      characters: 0, or -22.
 * quor_SAN3PGetRawDiskParams the device's logical block size and its size
 *      in such blocks: 0 or -errno. A regular file standing in for a disk
 *      has 512-byte blocks and its size in them.
 */
#ifndef QUOR_SAN3P_H
#define QUOR_SAN3P_H

#include <stdint.h>

#include "quor_iod_clnt.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SAN3P_LABEL_ID "QUOR_SAN_VOL_"
#define SAN3P_MAX_PARTS 16

typedef struct san3p_part {
  char VolumeId[6];
  char Reserved[2];
  uint32_t StartBlkMSB;
  uint32_t StartBlkLSB;
  uint32_t BlocksMSB;
  uint32_t BlocksLSB;
} san3p_part_t;

typedef struct san3p_part_tbl {
  char IdLabel[16];  // "QUOR_SAN_VOL_" and the version as "%3d", not terminated
  char UniqueID[36];
  uint32_t MediaBlockSize;
  uint32_t MediaBlocksMSB;
  uint32_t MediaBlocksLSB;
  uint32_t NumParts;
  san3p_part_t Parts[SAN3P_MAX_PARTS];
} san3p_part_tbl_t;

int quor_SAN3PRead(const san3paddress_t* AddrIn, int CtlSockFD, void* Buffer, uint32_t Length,
                   uint32_t* RetLength);
int quor_SAN3PWrite(const san3paddress_t* AddrIn, int CtlSockFD, const void* Buffer,
                    uint32_t Length, uint32_t* RetLength);
void quor_SAN3PSetErrorText(const char* Routine, const char* Format, ...)
    __attribute__((format(printf, 2, 3)));

int quor_SAN3PGetDevicePath(quor_uuid_t VolumeUUID, int DevPathLen, char* DevPath);
int quor_SAN3PGetPartTable(int Fd, san3p_part_tbl_t* Table);
int quor_SAN3PUpdatePartTable(int Fd, const san3p_part_tbl_t* Table);
int quor_SAN3PGetTableVersion(const san3p_part_tbl_t* Table, int* Version);
int quor_SAN3PGetRawDiskParams(int Fd, uint32_t* BlkSz, uint64_t* BlksOnDev);

#ifdef __cplusplus
}
#endif

#endif
