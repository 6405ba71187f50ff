/* Running digests of file data: SHA-1, SHA-224, SHA-256, SHA-384, SHA-512
 * and MD5 (from libcrypto), CRC-32, Adler-32 and the ECMA-319 CRC (the
 * library's own). Types 1 to 9 of quor_hash_type_t; 0, 10 and the rest are
 * refused by every call.
 *
 * A handle belongs to its creator, who frees it with quor_HashDelete; one
 * thread uses it at a time. Every buffer or string a call returns is the
 * caller's to free(). Results: 0 or a size, -14 for a null argument, -22
 * for an invalid type or a short buffer, -5000 when the algorithm fails.
 *
 * quor_HashCreate        a new handle, initialised; NULL on failure.
 * quor_HashReset         starts a new digest: 0, -14 (also for an invalid
 *                        type), -5000.
 * quor_HashAppend        feeds the low byte of Character.
 * quor_HashAppendStr     feeds strlen(String) bytes.
 * quor_HashAppendBuf     feeds Length bytes.
 * quor_HashFinish        a new buffer with the digest, *Length its size; the
 *                        handle starts over. NULL and *Length 0 on failure.
 * quor_HashFinishHex     the same as lower-case hex text.
 * quor_HashFinishDigest  writes the digest into Digest (Length bytes at
 *                        least) and returns its size; the handle is left as
 *                        the final step left it. -77 when a cryptographic
 *                        digest comes out all zero (a 32-bit check of zero,
 *                        e.g. the CRC of no data, is a valid result).
 * quor_HashDigestLength  the digest size of a type: 20, 28, 32, 48, 64, 16,
 *                        4, 4, 4 for types 1 to 9; -22 otherwise.
 * quor_HashType          *Type = the handle's type.
 * quor_HashDelete        frees the handle (not when its type is invalid).
 * quor_HashExtract       the raw state (type word, context, 3 pad bytes, in
 *                        host byte order; *Length in: room, out: the size).
 * quor_HashLoad          a handle from a raw state of the same Type; NULL
 *                        for a state of another type or one that is not
 *                        sound. Good only on the same build and machine.
 * quor_HashDuplicate     a copy of the handle.
 * quor_HashEncode        the portable saved state, big-endian: type word and
 *                        context; Length must be at least ContextSize + 4
 *                        (quor_HashEncodedLength).
 * quor_HashDecode        a handle from a portable saved state; NULL when the
 *                        state is short, of an invalid type or not sound.
 * quor_HashEncodedLength ContextSize + 4 of a type, or -22.
 * quor_HashDigestToString the quoted upper-case form X'0AFF'.
 * quor_HexString         writes that form of len bytes into string, which
 *                        holds 2 x len + 4 bytes; returns 2 x len + 3.
 */
#ifndef QUOR_HASH_H
#define QUOR_HASH_H

#include <stdint.h>

#include "quor_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct quor_hash_def* quor_hash_t;

quor_hash_t quor_HashCreate(quor_hash_type_t Type);
int quor_HashReset(quor_hash_t Hash);
int quor_HashAppend(quor_hash_t Hash, int Character);
int quor_HashAppendStr(quor_hash_t Hash, const char* String);
int quor_HashAppendBuf(quor_hash_t Hash, const void* Buffer, uint32_t Length);
unsigned char* quor_HashFinish(quor_hash_t Hash, uint32_t* Length);
char* quor_HashFinishHex(quor_hash_t Hash);
int quor_HashFinishDigest(quor_hash_t Hash, unsigned char* Digest, uint32_t Length);
int quor_HashDigestLength(quor_hash_type_t Type);
int quor_HashType(quor_hash_t Hash, quor_hash_type_t* Type);
int quor_HashDelete(quor_hash_t Hash);
int quor_HashExtract(quor_hash_t Hash, void* Buffer, uint32_t* Length, quor_hash_type_t* Type);
quor_hash_t quor_HashLoad(const void* Buffer, uint32_t Length, quor_hash_type_t Type);
quor_hash_t quor_HashDuplicate(quor_hash_t Hash);
int quor_HashEncode(quor_hash_t Hash, void* Buffer, uint32_t Length);
quor_hash_t quor_HashDecode(const void* Buffer, uint32_t Length);
int quor_HashEncodedLength(quor_hash_type_t Type);
char* quor_HashDigestToString(const unsigned char* Buffer, uint32_t Length);
int quor_HexString(char* string, const unsigned char* data, int len);

#ifdef __cplusplus
}
#endif

#endif
