// The shell's rc files: program-wide defaults (globalDefs) and the site
// stanzas (siteList), read once at start-up from the global "ozurc" and
// the private ".ozurc"; the lookups over the stanzas and `lssites`.
#ifndef OZURC_H
#define OZURC_H

#include <stdint.h>

#include "quor_net.h"

typedef struct startupSite {
  char *siteName;
  int userRcFile;  // 1: from the private file
} startupSite_t;

typedef struct global_defs {
  int cksumEnabled;
  int cksumHashType;
  int defaultAuthMethodCount;
  int *defaultAuthMethod;
  int defaultCopies;
  int startupCOS;  // -1: from the gateway; 0: automatic
  char defaultDrive;
  int defaultFamilyID;
  int disableReads;
  char *disableReadsMsg;
  int disableWrites;
  char *disableWritesMsg;
  int dir_create_mode;
  int enableAutoScheduling;
  int enableAutoBackup;
  int enableFileExpiration;
  char *expireCfgFile;
  int enableLfmIo;
  int enableSanIo;
  int enableSharedMem;
  int enableTAIo;
  int enable_local_TA_xfer;
  int file_create_mode;
  int firewallMode;
  char *helpFile;
  int helpFileResidence;
  int iobufSize;
  char *quorConfPath;
  int64_t maxSmallFileSize;
  int maxReaddirEntries;
  int maxXferThreads;
  char *noLoginPath;
  int promptLen;
  int promptDirLen;
  char *PS1;
  char *PS2;
  startupSite_t *startupSites;
  int startupSiteCount;
  int64_t threadStackSize;
  int umask;  // -1: not set
} global_defs_t;

extern global_defs_t globalDefs;

// Location bits of a key: the rc files that may set it.
#define RC_QUOR_GLOBAL 1
#define RC_QUOR_PRIVATE 2
#define RC_LOCAL_GLOBAL 4
#define RC_LOCAL_PRIVATE 8

typedef struct ozurc_option {
  const char *option;
  int paramNeeded;
  int enumVal;
  uint32_t locations;
} ozurc_option;

typedef struct rc_host_info {
  int userOzurcFlag;
  char *theHost;
  int userRcFile;
  quor_sockaddr_t theIpAddress;
} rc_host_info_t;

typedef struct authmethod_info {
  struct authmethod_info *next;
  int userOzurcFlag;
  int authMethodType;  // 0: an entry that only holds a file
  char *localFile;
  char *credFile;
} authmethod_info_t;

typedef struct principal_auth_info {
  struct principal_auth_info *next;
  authmethod_info_t *authMethod;  // not owned
} principal_auth_info_t;

typedef struct principal_info {
  struct principal_info *next;
  int userOzurcFlag;
  char *loginName;
  int authMethodCount;
  principal_auth_info_t *authList;
} principal_info_t;

typedef struct site_connection {
  struct site_connection *next;
  char *siteName;  // points into aliasNames
  int aliasCount;
  char **aliasNames;
  uint32_t siteID;
  int port;
  char drive;
  int startupCOS;
  int cksumEnabled;
  int cksumEnabledSet;
  int cksumHashType;
  int cksumHashTypeSet;
  int defaultFamilyID;
  int disableReads;
  char *disableReadsMsg;
  int disableWrites;
  char *disableWritesMsg;
  int firewallMode;
  int hostListCount;
  rc_host_info_t *hostList;
  quor_sockaddr_t netmask;
  int hostSelectMethod;
  int hostSelectInx;  // -1: undecided
  uint32_t hostConnectAddr;
  authmethod_info_t *authMethodList;  // newest first
  authmethod_info_t *curAuthMethod;
  principal_info_t *principalList;    // newest first
  int defaultAuthMethodCount;
  int *defaultAuthMethod;
  // Method entries the private file replaced; principals may still point
  // at them, so they are kept (emptied) until the stanza goes.
  authmethod_info_t *retiredAuthMethods;
} site_connection_t;

extern site_connection_t *siteList;

// Program-wide settings the rc keys reach besides globalDefs.
extern int page_width, page_length;
extern char *ozurcPrincipal, *ozurcKeytabPath, *pwPathname;

// Defaults of globalDefs; called once before ozu_ReadRcFile.
void ozu_InitGlobals(void);
// Residence 0 reads the local pair (global, then private); 1 the pair kept
// in the storage service. Always 0.
int ozu_ReadRcFile(int fileResidence);
// Frees the site list and what globalDefs owns, leaving both empty (for a
// reader run again in one process).
void ozu_RcReset(void);
void dumpGlobalSettings(void);
void dumpSiteConnections(void);
// Method names separated by ':' into a new array (the caller frees it):
// 0, -1 for an unknown name, -12 without memory.
int parseAuthMethodList(const char *value, int *count, int **list);

// Lookups (see ozu_sites.cpp).
site_connection_t *ozu_RcLookupSiteByName(const char *theSite);
site_connection_t *ozu_RcLookupSiteByDrive(int drive);
site_connection_t **ozu_RcLookupSiteByHost(const char *searchHost, int *entryCount);
rc_host_info_t *ozu_RcLookupHost(site_connection_t *theSite, const char *searchHost,
                                 int *entryOffset);
authmethod_info_t *ozu_RcLookupAuthMethodByType(site_connection_t *theSite, int authMethod);
principal_auth_info_t *ozu_RcLookupAMethodForPrincipal(site_connection_t *theSite,
                                                       const char *thePrincipal, int offset);
int ozu_ResolveIPAddress(rc_host_info_t *host);

#endif
