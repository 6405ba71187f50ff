// Outcomes: the exit code, messages to the gateway log (1), the listing
// output (2) and the local log file (4), the standard messages, the
// accounting records of unlinks and renames, and the EIO retry rule.
#ifndef OZU_LOG_H
#define OZU_LOG_H

#include <stdint.h>

#include <functional>

#define LOG_SEL_CMD 0x2000000
#define LOG_SEL_UNLINK 0x4000000
#define LOG_SEL_XFER 0x6000000

// Raises exitcode to excode when higher (atomic maximum, any thread),
// clears the status line and logs msg to dest. excode 0 only logs.
void setExitResult(int excode, const char *msg, int dest);
// setExitResult to the local log (7) with a printf-formatted message.
void ozu_ReportExit(int excode, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// setExitResult with the library's text of a storage call's error err.
void ozu_StorageError(int excode, int err, const char *routine, const char *path);
// Writes one message to the destinations of dest (bits above), each with
// one formatted write.
void ozu_LogCmd(const char *cmd, int dest);
// One gateway-log record; the result is ignored.
void logit(int logSelect, const char *line);

void ozu_ExtraneousOptionsMsg(void);
void ozu_ExtraObjectsMsg(const char *firstExtra);
void missingObjectsMsg(void);
void log_UnknownKeyword(const char *keyword);
void log_MissingPathForDrive(const char *drive);
void log_MissingValueForKeyword(const char *keyword);
void log_NoConnectionForDrive(const char *drive);
struct ozu_context;
void log_ConnectionSwitchFailure(const struct ozu_context *context);
void log_BadValueForKeyword(const char *keyword);
void log_BadValueForOption(int option, const char *value);
void ozu_MallocError(long theSize, const char *theFunction, const char *theFile, int theLine);

// Unlink ("FU") and rename ("FR") records, paths made absolute against
// working directory 0.
void ozu_LogFileUnlink(const char *theFile, uint64_t fileSize);
void ozu_LogFileRename(const char *oldPath, const char *newPath);

// Runs call until it gives something other than -5 (EIO): waits of 10, 60
// and 360 seconds (through the library's sleep) with the messages of the
// rule; returns the last result.
int ozu_EioRetry(const std::function<int()> &call);

#endif
