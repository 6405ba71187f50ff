// Record streams on storage files; see quor_api_extensions.h.
//
// A text stream's buffer is in one of two states: write data waiting
// (QUOR_FILE_WAITING; [_buf, _buf + _cnt), _ptr at its end) or read data
// ([_ptr, _bufendp) not yet taken). Switching from one to the other first
// writes the waiting data, or moves the file back over the unread bytes, so
// the file position always matches what the caller has seen.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "quor_api.h"
#include "quor_api_extensions.h"
#include "quor_api_internal.h"

namespace {

QUOR_FILE filetab[QUOR_FOPEN_MAX];
pthread_once_t initOnce = PTHREAD_ONCE_INIT;

const struct {
  const char* mode;
  bool text;
  int flags;
} openInfo[] = {
    {"r", true, O_RDONLY},
    {"w", true, O_WRONLY | O_CREAT | O_TRUNC},
    {"a", true, O_WRONLY | O_CREAT | O_APPEND},
    {"rb", false, O_RDONLY},
    {"wb", false, O_WRONLY | O_CREAT | O_TRUNC},
    {"ab", false, O_WRONLY | O_CREAT | O_APPEND},
    {"r+", true, O_RDWR},
    {"w+", true, O_RDWR | O_CREAT | O_TRUNC},
    {"a+", true, O_RDWR | O_CREAT | O_APPEND},
    {"r+b", false, O_RDWR},
    {"rb+", false, O_RDWR},
    {"w+b", false, O_RDWR | O_CREAT | O_TRUNC},
    {"wb+", false, O_RDWR | O_CREAT | O_TRUNC},
    {"a+b", false, O_RDWR | O_CREAT | O_APPEND},
    {"ab+", false, O_RDWR | O_CREAT | O_APPEND},
};

void exit_proc(void) {
  for (QUOR_FILE& f : filetab)
    if (f._flags & QUOR_FILE_INUSE) quor_Fclose(&f);
}

void lib_init(void) {
  memset(filetab, 0, sizeof filetab);
  if (atexit(exit_proc) != 0)
    fprintf(stderr, "*** warning- cannot register atexit call (api_fileio) ***\n");
}

// errno 0 and the set-up; then whether stream is an open slot (EBADF if not).
bool enter(QUOR_FILE* stream) {
  errno = 0;
  pthread_once(&initOnce, lib_init);
  if (stream == nullptr) {
    errno = EBADF;
    return false;
  }
  uintptr_t p = reinterpret_cast<uintptr_t>(stream), base = reinterpret_cast<uintptr_t>(filetab);
  if (p < base || p >= base + sizeof filetab || (p - base) % sizeof(QUOR_FILE) != 0 ||
      !(stream->_flags & QUOR_FILE_INUSE)) {
    errno = EBADF;
    return false;
  }
  return true;
}

bool isText(const QUOR_FILE* s) { return (s->_flags & QUOR_FILE_TEXT) != 0; }

// The EIO retry rule, its messages on standard error.
int64_t eioRetry(const std::function<int64_t()>& call) {
  return quor_EioRetry(call, [](const char* msg) { fprintf(stderr, "%s\n", msg); });
}

// Reads up to count bytes from the file: the bytes read (0 at its end), or
// the negative error of the first failed call.
int64_t readRaw(QUOR_FILE* s, char* buf, int64_t count) {
  int64_t got = 0;
  while (got < count) {
    int64_t n = eioRetry([&] { return int64_t(quor_Read(s->_quor_file, buf + got, size_t(count - got))); });
    if (n < 0) return got > 0 ? got : n;
    if (n == 0) break;
    got += n;
  }
  return got;
}

// Writes count bytes: the bytes written, and *err the error that stopped it.
int64_t writeRaw(QUOR_FILE* s, const char* buf, int64_t count, int* err) {
  int64_t put = 0;
  *err = 0;
  while (put < count) {
    int64_t n = quor_Write(s->_quor_file, buf + put, size_t(count - put));
    if (n <= 0) {
      *err = n < 0 ? int(-n) : EIO;
      break;
    }
    put += n;
  }
  return put;
}

// Writes the waiting data; what could not be written stays at the start of
// the buffer. 0 or -1.
int flushWaiting(QUOR_FILE* s) {
  if (!isText(s) || !(s->_flags & QUOR_FILE_WAITING) || s->_cnt <= 0) {
    s->_flags &= ~QUOR_FILE_WAITING;
    return 0;
  }
  s->_flags &= ~QUOR_FILE_ERROR;
  int err = 0;
  int64_t put = writeRaw(s, s->_buf, s->_cnt, &err);
  if (put == s->_cnt) {
    s->_flags &= ~QUOR_FILE_WAITING;
    s->_cnt = 0;
    s->_ptr = s->_bufendp = s->_buf;
    return 0;
  }
  fprintf(stderr, "*** error flushing data for quor file. tried to write %d, wrote %d\n", s->_cnt,
          int(put));
  memmove(s->_buf, s->_buf + put, size_t(s->_cnt - put));
  s->_cnt -= int(put);
  s->_ptr = s->_buf + s->_cnt;
  s->_flags |= QUOR_FILE_ERROR;
  errno = err;
  return -1;
}

// Bytes read into the buffer that the caller has not taken yet.
int64_t unread(const QUOR_FILE* s) {
  if (!isText(s) || (s->_flags & QUOR_FILE_WAITING)) return 0;
  return s->_bufendp - s->_ptr;
}

// Makes the file position the caller's position and empties the buffer of
// read data. 0 or -1.
int dropReadData(QUOR_FILE* s) {
  int64_t back = unread(s);
  if (back > 0) {
    int64_t rc = eioRetry([&] { return quor_Lseek(s->_quor_file, -back, SEEK_CUR); });
    if (rc < 0) {
      errno = rc == -1 ? EIO : int(-rc);
      return -1;
    }
  }
  if (isText(s) && !(s->_flags & QUOR_FILE_WAITING)) {
    s->_ptr = s->_bufendp = s->_buf;
    s->_cnt = 0;
  }
  return 0;
}

// Ready to put bytes into the buffer: read data gone, a full buffer
// written. 0 or -1.
int readyToWrite(QUOR_FILE* s) {
  if (dropReadData(s) < 0) return -1;
  if ((s->_flags & QUOR_FILE_WAITING) && s->_cnt >= s->_bufsize) return flushWaiting(s);
  return 0;
}

void putByte(QUOR_FILE* s, char c) {
  if (!(s->_flags & QUOR_FILE_WAITING)) {
    s->_ptr = s->_bufendp = s->_buf;
    s->_cnt = 0;
    s->_flags |= QUOR_FILE_WAITING;
  }
  *s->_ptr++ = c;
  s->_cnt++;
}

// Refills the buffer: 1 with bytes, 0 at the end of the file, -1 on error.
int refill(QUOR_FILE* s) {
  if ((s->_flags & QUOR_FILE_WAITING) && flushWaiting(s) < 0) return -1;
  int64_t n = readRaw(s, s->_buf, s->_bufsize);
  if (n < 0) {
    errno = int(-n);
    s->_flags |= QUOR_FILE_ERROR;
    return -1;
  }
  s->_cnt = int(n);
  s->_ptr = s->_buf;
  s->_bufendp = s->_buf + n;
  if (n == 0) {
    s->_flags |= QUOR_FILE_EOF;
    return 0;
  }
  return 1;
}

// size x num_items as a byte count: the count, 0 when it is 0 or less, or -1
// for arguments out of range (messages as named).
int64_t byteCount(const char* who, int size, int num_items) {
  if (size <= 0 || num_items <= 0) {
    fprintf(stderr, "%s: bad arg on call (size <= 0 or num_items <= 0)\n", who);
    errno = EFAULT;
    return -1;
  }
  int64_t count = int64_t(size) * num_items;
  if (count > 0x7fffffff) {
    errno = EINVAL;
    return -1;
  }
  return count;
}

}  // namespace

QUOR_FILE* quor_Fopen(const char* path, const char* type, const quor_cos_hints_t* HintsIn,
                      const quor_cos_priorities_t* HintsPri, quor_cos_hints_t* HintsOut) {
  errno = 0;
  pthread_once(&initOnce, lib_init);
  int row = -1;
  for (size_t i = 0; type && i < sizeof openInfo / sizeof openInfo[0]; i++)
    if (strcmp(type, openInfo[i].mode) == 0) row = int(i);
  if (row < 0 || !path) {
    errno = EINVAL;
    return nullptr;
  }
  QUOR_FILE* s = nullptr;
  for (QUOR_FILE& f : filetab)
    if (!(f._flags & QUOR_FILE_INUSE)) {
      s = &f;
      break;
    }
  if (!s) {
    errno = EAGAIN;
    return nullptr;
  }
  memset(s, 0, sizeof *s);
  int fd = int(eioRetry(
      [&] { return int64_t(quor_Open(path, openInfo[row].flags, 0777, HintsIn, HintsPri, HintsOut)); }));
  if (fd < 0) {
    errno = -fd;
    return nullptr;
  }
  s->_quor_file = fd;
  if (openInfo[row].text) {
    s->_buf = static_cast<char*>(malloc(QUOR_FILE_BUFSIZE));
    if (!s->_buf) {
      eioRetry([&] { return int64_t(quor_Close(fd)); });
      errno = ENOMEM;
      return nullptr;
    }
    s->_bufsize = QUOR_FILE_BUFSIZE;
    s->_ptr = s->_bufendp = s->_buf;
  }
  s->_flags = QUOR_FILE_INUSE | (openInfo[row].text ? QUOR_FILE_TEXT : 0);
  return s;
}

int quor_Fclose(QUOR_FILE* stream) {
  if (!enter(stream)) return -1;
  int result = 0, err = 0;
  if (flushWaiting(stream) < 0) {
    result = -1;
    err = EIO;
  }
  free(stream->_buf);
  stream->_buf = stream->_ptr = stream->_bufendp = nullptr;
  stream->_flags &= ~(QUOR_FILE_INUSE | QUOR_FILE_WAITING);
  int fd = stream->_quor_file;
  stream->_errno = int(eioRetry([&] { return int64_t(quor_Close(fd)); }));
  if (stream->_errno < 0) {
    result = -1;
    if (!err) err = -stream->_errno;
  }
  errno = err;
  return result;
}

int quor_Feof(QUOR_FILE* stream) {
  if (!enter(stream)) return -1;
  return (stream->_flags & QUOR_FILE_EOF) ? 1 : 0;
}

int quor_Ferror(QUOR_FILE* stream) {
  if (!enter(stream)) return -1;
  return (stream->_flags & QUOR_FILE_ERROR) ? 1 : 0;
}

int quor_Fflush(QUOR_FILE* stream) {
  if (stream == nullptr) {
    errno = 0;
    pthread_once(&initOnce, lib_init);
    for (QUOR_FILE& f : filetab)
      if ((f._flags & QUOR_FILE_INUSE) && (f._flags & QUOR_FILE_WAITING)) flushWaiting(&f);
    errno = 0;
    return 0;
  }
  if (!enter(stream)) return -1;
  return flushWaiting(stream);
}

int quor_Fgetc(QUOR_FILE* stream) {
  if (!enter(stream)) return -1;
  if (!isText(stream)) {
    errno = EBADF;
    return -1;
  }
  if (stream->_flags & QUOR_FILE_EOF) return -1;
  stream->_flags &= ~QUOR_FILE_ERROR;
  if (((stream->_flags & QUOR_FILE_WAITING) || stream->_ptr >= stream->_bufendp) &&
      refill(stream) <= 0)
    return -1;
  // A byte is 0 to 255: 0xFF is data, never the end of the file.
  return static_cast<unsigned char>(*stream->_ptr++);
}

char* quor_Fgets(char* string, int n, QUOR_FILE* stream) {
  if (!enter(stream)) return nullptr;
  if (!isText(stream)) {
    errno = EBADF;
    return nullptr;
  }
  if (!string) {
    errno = EFAULT;
    return nullptr;
  }
  if (n <= 1 || (stream->_flags & QUOR_FILE_EOF)) return nullptr;
  stream->_flags &= ~QUOR_FILE_ERROR;
  int copied = 0;
  while (copied < n - 1) {
    if ((stream->_flags & QUOR_FILE_WAITING) || stream->_ptr >= stream->_bufendp) {
      int rc = refill(stream);
      if (rc < 0) return nullptr;
      if (rc == 0) break;
    }
    char c = *stream->_ptr++;
    string[copied++] = c;
    if (c == '\n') break;
  }
  if (copied == 0) return nullptr;
  string[copied] = '\0';
  return string;
}

int quor_Fputc(int c, QUOR_FILE* stream) {
  if (!enter(stream)) return -1;
  if (!isText(stream)) {
    errno = EBADF;
    return -1;
  }
  stream->_flags &= ~QUOR_FILE_ERROR;
  if (readyToWrite(stream) < 0) return -1;
  putByte(stream, char(c));
  if (stream->_cnt >= stream->_bufsize) return flushWaiting(stream);
  return 0;
}

int quor_Fputs(const char* string, QUOR_FILE* stream) {
  if (!enter(stream)) return -1;
  if (!isText(stream)) {
    errno = EBADF;
    return -1;
  }
  if (!string) {
    errno = EFAULT;
    return -1;
  }
  stream->_flags &= ~QUOR_FILE_ERROR;
  if (readyToWrite(stream) < 0) return -1;
  int count = 0;
  for (const char* p = string; *p; p++) {
    putByte(stream, *p);
    count++;
    // What a failed flush did not write stays buffered.
    if (stream->_cnt >= stream->_bufsize && flushWaiting(stream) < 0) return -1;
  }
  return count;
}

int quor_Fread(void* pointer, int size, int num_items, QUOR_FILE* stream) {
  if (!enter(stream)) return -1;
  stream->_flags &= ~QUOR_FILE_ERROR;
  if (!pointer) {
    errno = EFAULT;
    return -1;
  }
  int64_t count = byteCount("quor_Fread", size, num_items);
  if (count <= 0) return int(count);
  char* out = static_cast<char*>(pointer);
  int64_t got = 0;
  if (isText(stream)) {
    if ((stream->_flags & QUOR_FILE_WAITING) && flushWaiting(stream) < 0) return -1;
    int64_t have = std::min<int64_t>(unread(stream), count);
    if (have > 0) {
      memcpy(out, stream->_ptr, size_t(have));
      stream->_ptr += have;
      got = have;
    }
  }
  if (got < count) {
    int64_t n = readRaw(stream, out + got, count - got);
    if (n < 0) {
      errno = int(-n);
      return -1;
    }
    got += n;
  }
  if (got % size != 0) {
    fprintf(stderr, "*** Warning: quor_Fread: partial item read. \n");
    fprintf(stderr, "    Item size: %d Requested Count: %d Number read: %d Partial byte count: %d\n",
            size, num_items, int(got / size), int(got % size));
  }
  return int(got / size);
}

int quor_Fwrite(const void* pointer, int size, int num_items, QUOR_FILE* stream) {
  if (!enter(stream)) return -1;
  stream->_flags &= ~(QUOR_FILE_EOF | QUOR_FILE_ERROR);
  if (!pointer) {
    errno = EFAULT;
    return -1;
  }
  int64_t count = byteCount("quor_Fwrite", size, num_items);
  if (count <= 0) return int(count);
  // Buffered bytes go first, so the file keeps the caller's order.
  if (flushWaiting(stream) < 0 || dropReadData(stream) < 0) {
    stream->_flags |= QUOR_FILE_ERROR;
    return -1;
  }
  int err = 0;
  int64_t put = writeRaw(stream, static_cast<const char*>(pointer), count, &err);
  if (put < count) {
    if (put > 0 || err == EIO)
      fprintf(stderr, "** quor_Fwrite: write error. Write count: %d wrote: %d\n", int(count), int(put));
    stream->_flags |= QUOR_FILE_ERROR;
    errno = put > 0 ? EIO : err;
    return -1;
  }
  return int(put / size);
}

int quor_Fseek(QUOR_FILE* stream, int64_t offset, int whence) {
  if (!enter(stream)) return -1;
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) {
    errno = EINVAL;
    return -1;
  }
  if (flushWaiting(stream) < 0) return -1;
  // SEEK_CUR counts from where the caller is, not from where the buffer
  // left the file.
  if (whence == SEEK_CUR) offset -= unread(stream);
  int64_t rc = eioRetry([&] { return quor_Lseek(stream->_quor_file, offset, whence); });
  if (rc < 0) {
    errno = rc == -1 ? EIO : int(-rc);
    return -1;
  }
  if (isText(stream)) {
    stream->_ptr = stream->_bufendp = stream->_buf;
    stream->_cnt = 0;
  }
  stream->_flags &= ~(QUOR_FILE_EOF | QUOR_FILE_ERROR);
  return 0;
}

int quor_Rewind(QUOR_FILE* stream) {
  if (!enter(stream)) return -1;
  int rc = quor_Fseek(stream, 0, SEEK_SET);
  stream->_errno = rc == 0 ? 0 : -errno;
  return rc;
}

int64_t quor_Ftell(QUOR_FILE* stream) {
  if (!enter(stream)) return -1;
  int64_t pos = eioRetry([&] { return quor_Lseek(stream->_quor_file, 0, SEEK_CUR); });
  if (pos < 0) {
    errno = pos == -1 ? EIO : int(-pos);
    return -1;
  }
  if (stream->_flags & QUOR_FILE_WAITING) return pos + stream->_cnt;
  return pos - unread(stream);
}

int quor_Fgetpos(QUOR_FILE* stream, quor_fpos_t* position) {
  if (!enter(stream)) return -1;
  if (!position) {
    errno = EFAULT;
    return -1;
  }
  int64_t pos = quor_Ftell(stream);
  if (pos < 0) return -1;
  *position = pos;
  return 0;
}

int quor_Fsetpos(QUOR_FILE* stream, const quor_fpos_t* position) {
  if (!enter(stream)) return -1;
  if (!position) {
    errno = EFAULT;
    return -1;
  }
  return quor_Fseek(stream, *position, SEEK_SET);
}
