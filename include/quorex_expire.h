// Expiration times of storage files, from a site's rules file: a file
// expires a fixed time after its creation, the time depending on its family,
// class of service, subsystem, owner, group or account.
//
// quorex_ExpireInitTable  loads the rules file (stanza format) into the
//                         process-wide table, replacing what was there:
//                         0; -1 when the file cannot be parsed or a section
//                         is not a block of entries, -12 when the table
//                         cannot grow (the table is then empty). Bad entries
//                         are skipped with a message on standard error.
//                         User, group and account names are converted
//                         through the gateway, so a connection must be
//                         possible. A time term beyond 2147483647 seconds,
//                         or a total beyond 64 bits, is a format error.
// quorex_ExpireLookupTime 0 with *RetExpiration = TimeCreated + the time of
//                         the first rule that applies (in the precedence
//                         list's order when the file names one, else in
//                         section order); -2 with 0 when none does; -14 for
//                         a null argument.
// Load before any lookup, from one thread; lookups only read the table.
#ifndef QUOREX_EXPIRE_H
#define QUOREX_EXPIRE_H

#include <stdint.h>

#include "quor_types.h"

typedef enum EXPIRE_TYPE {
  EXP_BY_FAMILY = 0,
  EXP_BY_COS = 1,
  EXP_BY_SUBSYS = 2,
  EXP_BY_UID = 3,
  EXP_BY_GID = 4,
  EXP_BY_ACCTID = 5,
} EXPIRE_TYPE;

// expireSeconds may stand for a negative time (terms carry signs): it is
// added modulo 2^64.
typedef struct expireTime {
  EXPIRE_TYPE expireType;
  union {
    struct {
      uint32_t familyID;
      uint64_t expireSeconds;
    } family;
    struct {
      uint32_t cosID;
      uint64_t expireSeconds;
    } cos;
    struct {
      uint32_t subsystemID;
      uint64_t expireSeconds;
    } subsys;
    struct {
      uint64_t userID;
      uint64_t expireSeconds;
    } user;
    struct {
      uint64_t groupID;
      uint64_t expireSeconds;
    } group;
    struct {
      uint64_t accountID;
      uint64_t expireSeconds;
    } account;
  } expEnt_u;
} expireTime_t;

int quorex_ExpireInitTable(const char* CfgFilePath);
int quorex_ExpireLookupTime(const quor_Attrs_t* TheAttrs, uint64_t* RetExpiration);

#endif
