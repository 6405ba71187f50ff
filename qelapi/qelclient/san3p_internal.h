// What the SAN3P modules share beyond quor_san3p.h, and what their tests
// look at. Library code and its tests only.
//
// san3pDevReads, san3pDevWrites  device reads and writes made so far.
// san3p_DeviceIDFileName        the device-id file's path in use.
// san3p_CacheLoads              successful loads of the device-id file.
// san3p_ResetCacheForTest       forgets the cache and its file name, as at
//                               start-up (no lookup may run meanwhile).
#ifndef SAN3P_INTERNAL_H
#define SAN3P_INTERNAL_H

#include <atomic>
#include <string>

extern std::atomic<unsigned> san3pDevReads, san3pDevWrites;
std::string san3p_DeviceIDFileName(void);
unsigned san3p_CacheLoads(void);
void san3p_ResetCacheForTest(void);

#endif
