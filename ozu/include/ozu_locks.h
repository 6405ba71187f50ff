// Process-wide locks, the per-connection transfer-concurrency table and two
// helpers used around transfers.
#ifndef OZU_LOCKS_H
#define OZU_LOCKS_H

#include <stdint.h>

struct ozu_context;

int ozu_InitGlobalLocks(void);
int ozu_LockListingFile(void);
int ozu_UnlockListingFile(void);
int ozu_LockSessContext(void);
int ozu_UnlockSessContext(void);
int ozu_XferTableLock(void);
int ozu_XferTableUnlock(void);
// With the table lock held: waits without limit for (0, 0), else until now
// plus that time; 0 when woken, else the negated error (-110 time-out).
int ozu_XferTableCondWait(int Seconds, int Usecs);
int ozu_XferTableSignal(void);

// The size classes of a connection, plus the catch-all class: 0 or -12.
int ozu_GetContextMaxXfers(struct ozu_context *TheContext);
int ozu_GetMaxXfers(void);
// The first class holding the size; -1 (after a message) when the
// connection has no class at all, so a caller never indexes an empty table.
int ozu_GetXferSizeInx(uint64_t FileSize);
long ozu_GetSysPageSize(void);
// The subsystem id of the path's parent, cached per connection and path;
// 0 after a reported failure.
uint32_t ozu_GetParentSubsysID(const char *pathName);

#endif
