/* Record streams on storage files: stdio-like streams over the storage
 * API's file descriptors, at most QUOR_FOPEN_MAX at once. Text modes ("r",
 * "w", "a", "r+", "w+", "a+") go through a 102400-byte buffer; binary modes
 * (the same with "b") move bytes straight to and from the file. Open,
 * close, seek and read retry on -5 (EIO) with waits of 10, 60 and 360
 * seconds, saying so on standard error.
 *
 * Every call sets errno (0 on success). A stream pointer that is not an
 * open stream of the table gives errno EBADF and -1 (NULL for quor_Fgets).
 *
 * quor_Fopen    a stream, or NULL with errno EINVAL (unknown mode), EAGAIN
 *               (all streams open), ENOMEM, or the negated open error.
 * quor_Fclose   flushes, closes and frees the stream (always): 0, or -1 with
 *               errno EIO when waiting data could not be written, or the
 *               negated close error.
 * quor_Fflush   writes the data waiting in a text stream: 0, or -1 with the
 *               data kept; NULL flushes every stream.
 * quor_Fgetc    the next byte as 0 to 255, or -1 at the end of the file or
 *               on an error (EBADF for a binary stream).
 * quor_Fgets    a line of at most n - 1 bytes with its newline, or NULL at
 *               the end of the file or on an error.
 * quor_Fputc    0 (or the flush's result when the byte filled the buffer).
 * quor_Fputs    the string's length, or -1 when a flush failed; what was not
 *               written stays buffered for the next flush.
 *               quor_Fputc and quor_Fputs refuse binary streams (EBADF).
 * quor_Fread    whole items read (a partial last item is warned about), or
 *               -1; quor_Fwrite num_items, or -1.
 * quor_Rewind   back to offset 0: 0 or -1.
 * quor_Fseek    flushes, then moves to offset from whence (SEEK_SET,
 *               SEEK_CUR counted from the caller's position, SEEK_END): 0 or
 *               -1; clears the end-of-file and error marks.
 * quor_Ftell    the caller's position (buffered bytes counted), or -1.
 * quor_Fgetpos / quor_Fsetpos  quor_Ftell / quor_Fseek from the start.
 * quor_Feof / quor_Ferror  the end-of-file and error marks.
 */
#ifndef QUOR_API_EXTENSIONS_H
#define QUOR_API_EXTENSIONS_H

#include <stdint.h>

#include "quor_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QUOR_FOPEN_MAX 100
#define QUOR_FILE_BUFSIZE 102400

typedef struct quor_file {
  char* _ptr;       // next byte of the buffer to read or write
  int _cnt;         // writing: bytes waiting; reading: bytes of the last refill
  char* _buf;       // the buffer (text streams), else null
  char* _bufendp;   // end of the valid bytes after a refill
  int _bufsize;
  long _flags;      // QUOR_FILE_* marks
  int _errno;       // result of the last close or rewind
  int _quor_file;   // the storage API descriptor
} QUOR_FILE;

#define QUOR_FILE_INUSE 0x1
#define QUOR_FILE_TEXT 0x2
#define QUOR_FILE_WAITING 0x4
#define QUOR_FILE_ERROR 0x8
#define QUOR_FILE_EOF 0x10

typedef int64_t quor_fpos_t;

QUOR_FILE* quor_Fopen(const char* path, const char* type, const quor_cos_hints_t* HintsIn,
                      const quor_cos_priorities_t* HintsPri, quor_cos_hints_t* HintsOut);
int quor_Fclose(QUOR_FILE* stream);
int quor_Feof(QUOR_FILE* stream);
int quor_Ferror(QUOR_FILE* stream);
int quor_Fflush(QUOR_FILE* stream);
int quor_Fgetc(QUOR_FILE* stream);
char* quor_Fgets(char* string, int n, QUOR_FILE* stream);
int quor_Fputc(int c, QUOR_FILE* stream);
int quor_Fputs(const char* string, QUOR_FILE* stream);
int quor_Fread(void* pointer, int size, int num_items, QUOR_FILE* stream);
int quor_Fwrite(const void* pointer, int size, int num_items, QUOR_FILE* stream);
int quor_Rewind(QUOR_FILE* stream);
int quor_Fseek(QUOR_FILE* stream, int64_t offset, int whence);
int64_t quor_Ftell(QUOR_FILE* stream);
int quor_Fgetpos(QUOR_FILE* stream, quor_fpos_t* position);
int quor_Fsetpos(QUOR_FILE* stream, const quor_fpos_t* position);

#ifdef __cplusplus
}
#endif

#endif
