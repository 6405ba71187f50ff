// Digests of transferred data: the stored digest a verifying get compares
// with, finishing the computed one, storing it with the file, and text.
//
// getExistingHash            loads a valid stored digest into fileHashInfo:
//                            0, or negative (messages and exit 72 inside).
// ozu_FDigest_FinishHashDigest  finishes hashInfo into hashValue/hashLen: 0
//                            or negative (exit 71).
// ozu_FDigest_SetFileChecksum  stores hashInfo with the storage file: 0 or
//                            negative (exit 70).
// ozu_FDigestIsValid         1, or 0 with the reason in msg (may be null).
// ozu_FDigestToString        malloc'd hex text of the bytes, or null.
// ozu_FDigest_Compare        after a verifying get: 0 equal ("(type) OK"
//                            printed), -1 after the two mismatch messages
//                            (exit 72).
// ozu_FDigest_Report         after hashcreate: the stored digest's line.
#ifndef OZU_XFER_DIGEST_H
#define OZU_XFER_DIGEST_H

#include <stddef.h>

struct transfer;

// The local side of hashcreate and hashverify: written to, never created,
// renamed or truncated.
#define OZU_DIGEST_SINK "/dev/null"

enum OZU_FDIGEST_STYLE { LOWERCASE_HEX = 0, UPPERCASE_HEX = 1, SQL_UPPERCASE_HEX = 2 };

int getExistingHash(struct transfer *ctl);
int ozu_FDigest_FinishHashDigest(struct transfer *ctl);
int ozu_FDigest_SetFileChecksum(struct transfer *ctl);
int ozu_FDigestIsValid(struct transfer *ctl, char *msg, size_t msgSize);
char *ozu_FDigestToString(int style, const unsigned char *bytes, int length);
int ozu_FDigest_Compare(struct transfer *ctl);

#endif
