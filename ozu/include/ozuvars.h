// Process-wide state of the shell. Everything here lives for the whole run
// and, unless marked, belongs to the main thread.
#ifndef OZUVARS_H
#define OZUVARS_H

#include <pthread.h>
#include <stdio.h>

#include <atomic>

#include "quor_net.h"

#define OZU_VERSION "1.0.0"
#define OZU_VERSION_MAJOR "1"
#define OZU_VERSION_MINOR "0"
#define OZU_VERSION_PATCH "0"

#define maxcmdbuflen 3072

// Streams: errors and debug output, listing output of the running command,
// terminal output, terminal input for questions (null in batch mode).
extern FILE *errFile, *listF, *ttyOut, *ttyIn, *altListF;
extern int isatty0, isatty2;
extern int realuid, realgid, myProcessID;
extern char *localHomeDir;
extern long sysPageSize;
extern pthread_t thread_Main;

// The process exit status; raised only, from any thread (setExitResult).
extern std::atomic<int> exitcode;
extern int finished;  // nonzero ends the main loop

extern int quietFlag, verboseFlag, progressFlag, echoFlag, popenFlag, overrideNologin;
extern int suniqueFlag, runiqueFlag, promptFlag, globFlag, caseFlag, cacheFlag, bellFlag;
extern int debug;
extern int echoSave;

extern char *ozu_server_host;
extern int ozu_server_port;
extern char *startup_site_name;
extern char *ozuServerEnv;
extern char *editorStyle;
extern long clThreadStacksize;
extern char *tcpHostName;
extern quor_sockaddr_t tcpHostIP;

// Log-in inputs of gatewaySetup.
extern int authTypeFlag;
extern char *altPrincipal;
extern int altIdentity;
extern char *keytabPath, *credCacheFile;
extern long acctId;
extern char *acctName;
extern long cli_groupID;
extern char *cli_groupName;
extern struct site_connection *loginSiteEntry;

// Command buffers and the command being run.
extern char cmdbuf[maxcmdbuflen];
extern int cbuflen, startupCmdlen;
extern char loccmdLine[maxcmdbuflen];
extern char cmdLine[maxcmdbuflen];
extern int curCommandNumber;
extern const char *verb, *verbAbbreviation, *actionVerb;
extern int minus_opt;

// Interrupts of the running command, raised by the signal handler.
extern std::atomic<int> interrupted;
// 1 while the gateway runs a relayed command line.
extern std::atomic<int> cli_InProgress;

extern int idleTimeout;
extern int editorEnabled;

// Redirections: the "out" file, the local log, the "in" file.
extern int outfileFlag;
extern char *outfileName;
extern FILE *fdOut;
extern int logfileFlag;
extern char *logfileName;
extern FILE *fdLog;
extern int infileFlag;
extern char *infileName;
extern FILE *fdIn;
extern int infileLine;

extern char *trashcanto;
extern const char *defaulttrashcan;

#endif
