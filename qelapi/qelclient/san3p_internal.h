// What the SAN3P modules share beyond quor_san3p.h, and what their tests
// look at. Library code and its tests only.
//
// san3pDevReads, san3pDevWrites  device reads and writes made so far.
// san3p_DeviceIDFileName        the device-id file's path in use.
// san3p_CacheLoads              successful loads of the device-id file.
#ifndef SAN3P_INTERNAL_H
#define SAN3P_INTERNAL_H

#include <atomic>
#include <string>

extern std::atomic<unsigned> san3pDevReads, san3pDevWrites;
std::string san3p_DeviceIDFileName(void);
unsigned san3p_CacheLoads(void);

#endif
