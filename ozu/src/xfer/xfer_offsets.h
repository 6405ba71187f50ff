// Pieces of a partial transfer: the text form "srcofs:sinkofs:length"
// (empty fields keep their defaults; "cp"/"0cp" is the current position in
// the two offsets; k, kb, m, mb, g, gb, t, tb, p, pb multiply by powers of
// 1024) and offset files of such words.
//
// ozu_ParseXferOffsetSpec  fills piece from text: 0, or -1 for a refused text.
// ozu_ReadXferOffsetFile   appends the words of the file at path to list:
//                          0, or -1 after its message (the pieces before a
//                          bad word stay).
#ifndef OZU_XFER_OFFSETS_H
#define OZU_XFER_OFFSETS_H

#include <vector>

#include "xfer_record.h"

int ozu_ParseXferOffsetSpec(const char *text, xfer_offset_t *piece);
int ozu_ReadXferOffsetFile(const char *path, std::vector<xfer_offset_t> *list);

#endif
