// Saved keysets: files named after the keyset in ".ozukeysets" of the
// storage home directory (the default) or of the local home directory, the
// line format they share, and the commands keep, show, free and adopt.
#ifndef OZU_KEYSETFILE_H
#define OZU_KEYSETFILE_H

#include <stdio.h>

#include "ozu_context.h"
#include "quor_types.h"

#define OZU_KEYSET_MAGIC ".OZUKEYSET."
#define OZU_KEYSET_DIR ".ozukeysets"
#define OZU_KEYSET_LINE 4111  // line buffer; longer lines come in pieces

// An open keyset file: a local stream or a storage file read and written
// through the storage API with a buffer of our own.
typedef struct ozu_kstream ozu_kstream_t;

// Opens a storage file ("r": read; "w": created or truncated, with COS
// hints that may be null): the stream, or null with *err the storage error.
ozu_kstream_t *ozu_ksOpenQUOR(const char *path, const char *mode, const quor_cos_hints_t *hints,
                              const quor_cos_priorities_t *prio, int *err);
ozu_kstream_t *ozu_ksFromFILE(FILE *f);
// fgets over either kind: at most size - 1 bytes up to and with a newline.
char *ozu_ksGets(char *buf, int size, ozu_kstream_t *f);
// 0, or -1 when the bytes cannot be written (the stream remembers it).
int ozu_ksWrite(ozu_kstream_t *f, const char *text, size_t len);
// Writes what waits and releases the stream: 0, or -1 when some write,
// the flush or the close failed.
int ozu_ksClose(ozu_kstream_t *f);

// The storage keyset file of keyp (magic line and 20 settings) into f and
// flushed; with a null f nothing is written. *sizeptr gets the sum of the
// lines' lengths plus one each. 0, or -1 when a write or the flush failed.
int quor_WriteKeyset(ozu_kstream_t *f, Keyset *keyp, int *sizeptr);
// Splits one line in place: 0 with *kw and *val, or -1 (a bad line is
// reported with exit code 65; an empty one silently).
int parseKeysetLine(char *line, char **kw, char **val);
// Open the named keyset file and check its magic line: the stream after
// it, or null.
ozu_kstream_t *openKeysetFile(const char *name);
ozu_kstream_t *openQUORKeysetFile(const char *name);
// The rest of the file as "   %s = %s\n" lines on the listing output.
void listKeysetFile(ozu_kstream_t *f);
void listQUORKeysetFile(ozu_kstream_t *f);
int showEntCallback(ns_DirEntry_t *entry, int isdir, const char *dirPath, const char *fullPath);

#endif
