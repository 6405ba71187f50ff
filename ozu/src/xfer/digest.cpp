// Digest bookkeeping of one transfer: the stored digest, the computed one,
// storing it and comparing the two.
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ozu_errors.h"
#include "ozu_log.h"
#include "ozu_util.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "quor_hash.h"
#include "xfer_digest.h"
#include "xfer_record.h"

namespace {

void report(int code, int dest, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void report(int code, int dest, const char *fmt, ...)
{
  char msg[4200];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  setExitResult(code, msg, dest);
}

const char *typeName(int t)
{
  const char *n = ozu_CksumTypeToString(t);
  return n ? n : "unknown";
}

}  // namespace

char *ozu_FDigestToString(int style, const unsigned char *bytes, int length)
{
  if (length < 0 || (length > 0 && bytes == nullptr))
    return nullptr;
  size_t n = size_t(length) * 2 + 1 + (style == SQL_UPPERCASE_HEX ? 3 : 0);
  char *s = static_cast<char *>(malloc(n));
  if (s == nullptr)
    return nullptr;
  const char *digits = style == LOWERCASE_HEX ? "0123456789abcdef" : "0123456789ABCDEF";
  char *p = s;
  if (style == SQL_UPPERCASE_HEX) {
    *p++ = 'X';
    *p++ = '\'';
  }
  for (int i = 0; i < length; ++i) {
    *p++ = digits[bytes[i] >> 4];
    *p++ = digits[bytes[i] & 0xf];
  }
  if (style == SQL_UPPERCASE_HEX)
    *p++ = '\'';
  *p = '\0';
  return s;
}

int ozu_FDigestIsValid(transfer_t *ctl, char *msg, size_t msgSize)
{
  const ozu_uda_hash_t *h = &ctl->hashInfo;
  if (h->ozuCksumType == 0)
    return 1;
  if (h->hashLen < 1 || h->hashLen > QUOR_FILE_HASH_BUFFER_LEN) {
    if (msg)
      snprintf(msg, msgSize, "invalid digest length. Should be greater than 0 and maximum of %u",
               unsigned(QUOR_FILE_HASH_BUFFER_LEN));
    return 0;
  }
  bool zero = true;
  for (int i = 0; h->hashValue && i < h->hashLen && zero; ++i)
    zero = h->hashValue[i] == 0;
  // A 32-bit check of zero (the CRC of no data) is a result like any other;
  // only a cryptographic digest of all zero bytes is suspect.
  if (h->hashValue == nullptr || (zero && h->hashLen > 4)) {
    if (msg)
      snprintf(msg, msgSize, "null or zeroed digest in buffer");
    return 0;
  }
  return 1;
}

int ozu_FDigest_FinishHashDigest(transfer_t *ctl)
{
  ozu_uda_hash_t *h = &ctl->hashInfo;
  const char *path = ctl->quorFile.quorPath ? ctl->quorFile.quorPath : "";
  h->hashLen = 0;
  free(h->hashValue);
  h->hashValue = nullptr;
  if (h->ozuCksumType == 0 || h->theHash == nullptr)
    return 0;
  int len = quor_HashDigestLength(quor_hash_type_t(h->ozuCksumType));
  if (len <= 0) {
    report(71, 7, "*** %s: internal error file %s quor_HashDigestLength returned %d for hash type %d (%s,%d)\n",
           "ozu_FDigest_FinishHashDigest", path, len, h->ozuCksumType, __FILE__, __LINE__);
    return len;
  }
  h->hashValue = static_cast<unsigned char *>(calloc(1, size_t(len)));
  if (h->hashValue == nullptr) {
    ozu_MallocError(len, "ozu_FDigest_FinishHashDigest", __FILE__, __LINE__);
    return -12;
  }
  int rc = quor_HashFinishDigest(h->theHash, h->hashValue, uint32_t(len));
  if (rc < 0) {
    if (rc == -77) {
      report(71, 7, "*** %s: internal error file %s: quor_HashFinishDigest returned a ZERO checksum for hash type %d (%s,%d)\n",
             "ozu_FDigest_FinishHashDigest", path, h->ozuCksumType, __FILE__, __LINE__);
      h->ozuCksumType = 0;
    } else {
      report(71, 7, "*** %s: internal error file %s: quor_HashFinishDigest returned %d for hash type %d, length=%u (%s,%d)\n",
             "ozu_FDigest_FinishHashDigest", path, rc, h->ozuCksumType, unsigned(len), __FILE__, __LINE__);
    }
    free(h->hashValue);
    h->hashValue = nullptr;
    return rc;
  }
  h->hashLen = len;
  if (debug >= 3) {
    char *hex = ozu_FDigestToString(LOWERCASE_HEX, h->hashValue, len);
    fprintf(listF, "/debug/file digest created for %s type=%d (%s) length=%d, value=[%s]\n", path,
            h->ozuCksumType, typeName(h->ozuCksumType), len, hex ? hex : "");
    free(hex);
  }
  return 0;
}

int getExistingHash(transfer_t *ctl)
{
  const char *me = "getExistingHash";
  const char *path = ctl->quorFile.quorPath;
  ctl->haveExistingHashInfo = 0;
  uint32_t retFlags = 0;
  uint64_t stripe = 0;
  quor_file_hash_digest_list_t list;
  memset(&list, 0, sizeof list);
  int rc = ozugw_FdigestGetCksum(0, path, &retFlags, &list, &stripe);
  if (rc != 0) {
    if (debug >= 1)
      fprintf(listF, "/debug/%s: ozugw_FdigestGetCksum returend %d for %s\n", me, rc, path);
    free(list.List_val);
    return rc;
  }
  int result = 0;
  if (list.List_len == 0 || list.List_val == nullptr) {
    report(72, 7, "*** %s: Digest is not marked 'VALID' for '%s' - verification disabled\n", me, path);
    result = -22;
  } else {
    const quor_file_hash_digest_t *d = &list.List_val[0];
    if (debug >= 1)
      fprintf(listF, "/debug/%s: File digest checksum returned - type=%u flags=%X\n", me, unsigned(d->Type),
              unsigned(d->Flags));
    if (!(d->Flags & QUOR_FILE_HASH_DIGEST_VALID)) {
      report(72, 7, "*** %s: Digest is not marked 'VALID' for '%s' - verification disabled\n", me, path);
      result = -22;
    } else if (uint64_t(d->ModifyTime) < uint64_t(ctl->quorFile.attrs.Attrs.TimeLastWritten)) {
      report(72, 7, "*** %s: Digest timestamp [%u] < last write time (%llu) for '%s' - verification disabled\n",
             me, unsigned(d->ModifyTime), (unsigned long long)ctl->quorFile.attrs.Attrs.TimeLastWritten, path);
      result = -22;
    } else {
      ozu_uda_hash_t *f = &ctl->fileHashInfo;
      free(f->hashValue);
      f->hashValue = static_cast<unsigned char *>(malloc(QUOR_FILE_HASH_BUFFER_LEN));
      if (f->hashValue == nullptr) {
        ozu_MallocError(QUOR_FILE_HASH_BUFFER_LEN, me, __FILE__, __LINE__);
        result = -12;
      } else {
        f->ozuCksumType = int32_t(d->Type);
        f->hashedBytes = ctl->quorFile.attrs.Attrs.DataLength;
        int len = d->Type == 0 ? 0 : quor_HashDigestLength(d->Type);
        f->hashLen = len > 0 ? len : 0;
        memcpy(f->hashValue, d->Buffer, QUOR_FILE_HASH_BUFFER_LEN);
        ctl->haveExistingHashInfo = 1;
      }
    }
  }
  free(list.List_val);
  return result;
}

int ozu_FDigest_SetFileChecksum(transfer_t *ctl)
{
  const char *me = "ozu_FDigest_SetFileChecksum";
  const char *path = ctl->quorFile.quorPath;
  quor_stat_t st;
  int rc = ozu_EioRetry([&] { return quor_Stat(path, &st); });
  if (rc < 0) {
    report(70, 7, "*** %s: error %d on quor_Stat call for '%s' - cannot set digest checksum\n", me, rc, path);
    return rc;
  }
  quor_file_hash_digest_t d;
  memset(&d, 0, sizeof d);
  d.Flags = QUOR_FILE_HASH_DIGEST_VALID | QUOR_FILE_HASH_GENERATED;
  strncpy(d.Creator, "ozu", sizeof d.Creator - 1);
  d.ModifyTime = st.quor_st_mtime;
  ozu_uda_hash_t *h = &ctl->hashInfo;
  d.Type = quor_hash_type_t(h->ozuCksumType);
  if (h->ozuCksumType != 0) {
    char why[128];
    if (h->hashLen > QUOR_FILE_HASH_BUFFER_LEN) {
      report(70, 7, "*** %s: internal error. File %s digest length: %d > digest buffer size: %u - not stored\n",
             me, path, h->hashLen, unsigned(QUOR_FILE_HASH_BUFFER_LEN));
      return -22;
    }
    if (!ozu_FDigestIsValid(ctl, why, sizeof why)) {
      report(70, 7, "*** %s: internal error. File %s digest length: %d \n\t%s - not stored\n", me, path,
             h->hashLen, why);
      return -77;
    }
    memcpy(d.Buffer, h->hashValue, size_t(h->hashLen));
  } else {
    h->hashLen = 0;
  }
  quor_file_hash_digest_list_t list;
  list.List_len = 1;
  list.List_val = &d;
  rc = ozugw_FdigestSetCksum(0, path, &list, 0);
  if (rc != 0) {
    report(70, 7, "*** %s: ozugw_FdigestSetCksum returned error %d  QUOR file: %s\n", me, rc, path);
    return rc;
  }
  return 0;
}

int ozu_FDigest_Compare(transfer_t *ctl)
{
  const ozu_uda_hash_t *c = &ctl->hashInfo, *s = &ctl->fileHashInfo;
  const char *path = ctl->quorFile.quorPath;
  if (c->hashLen == s->hashLen && c->hashValue != nullptr && s->hashValue != nullptr &&
      memcmp(c->hashValue, s->hashValue, size_t(c->hashLen)) == 0) {
    fprintf(listF, "%s: (%s) OK\n", path, typeName(s->ozuCksumType));
    return 0;
  }
  char *stored = s->hashValue ? ozu_FDigestToString(LOWERCASE_HEX, s->hashValue, s->hashLen) : nullptr;
  char *calc = c->hashValue ? ozu_FDigestToString(LOWERCASE_HEX, c->hashValue, c->hashLen) : nullptr;
  report(72, 7, "*** %s: CHECKSUM COMPARISON failed QUOR pathname '%s'", "readQuorFile", path);
  report(72, 7, "*** Checksum type: %s Stored checksum: %s Length: %d\n*** Calculated checksum: %s Length: %d\n",
         typeName(s->ozuCksumType), stored ? stored : "(NULL)", s->hashLen, calc ? calc : "(NULL)",
         c->hashLen);
  free(stored);
  free(calc);
  return -1;
}
