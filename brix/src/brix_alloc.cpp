// Allocation wrappers: every archiver allocation that can fail reports its
// size, the failing call and the caller's source position, and stores exit
// code 78.
#include <stdlib.h>
#include <string.h>

#include "brix.h"

void brix_MallocError(const char* function, const char* operation, size_t size, const char* file,
                      int line) {
  (void)function;
  brix_Log(BRIX_MSG_ERROR, "brix: malloc failure (%d bytes) ", int(size));
  if (operation && operation[0]) brix_Log(BRIX_MSG_ERROR, "[%s]", operation);
  brix_Log(BRIX_MSG_ERROR, " (file %s,line %d)\n", file, line);
  brix_SetExitCode(78);
}

void* brix_Malloc(size_t size, const char* function, const char* file, int line) {
  void* p = malloc(size ? size : 1);
  if (!p) brix_MallocError(function, nullptr, size, file, line);
  return p;
}

void* brix_Calloc(size_t count, size_t size, const char* function, const char* file, int line) {
  void* p = calloc(count ? count : 1, size ? size : 1);
  if (!p) brix_MallocError(function, "calloc", count * size, file, line);
  return p;
}

void* brix_Realloc(void* pointer, size_t size, const char* function, const char* file, int line) {
  void* p = realloc(pointer, size ? size : 1);
  if (!p) brix_MallocError(function, "realloc", size, file, line);
  return p;
}

char* brix_Strdup(const char* text, const char* function, const char* file, int line) {
  char* p = strdup(text ? text : "");
  if (!p) brix_MallocError(function, "strdup", text ? strlen(text) : 0, file, line);
  return p;
}

void brix_Free(void* pointer, const char*, const char*, int) { free(pointer); }
