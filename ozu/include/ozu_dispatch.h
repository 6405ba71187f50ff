// The command table and the dispatcher. Every handler has the form
// int handler(char *cc, int cclen): cc the command line (after any drive or
// connection prefix), cclen the length of the typed command word; the tail
// starts at cc + cclen. A result of -2 makes the dispatcher read and run the
// next command at once; every other result ends the dispatch.
#ifndef OZU_DISPATCH_H
#define OZU_DISPATCH_H

#include <stdint.h>
#include <stdio.h>

typedef int (*ozu_handler_t)(char *cc, int cclen);

typedef struct CCmdtab {
  int clientOnly;  // 1: never sent to the gateway
  int ab_len;      // filled on the first dispatch
  ozu_handler_t mgrfunc;  // null: the command exists only in the gateway
  const char *abbrev;
  const char *fullcmd;  // a quote stands for one optional digit
} CCmdtab;

#define CmdTabSize 130
extern CCmdtab OZUCmds[CmdTabSize];

// The current connection failed its last exchange: the window size, the
// gateway log and the relay of the shell's own commands wait until a relay
// goes through again. Noting it says so once.
int ozu_GatewayKnownDown(void);
void ozu_NoteGatewayDown(void);
void ozu_ClearGatewayDown(void);

extern int consoleCleanupNeeded;
extern int keysetsSynced;

// Dispatches one command (more while handlers return -2).
void ozu_UserCommand(void);
int isSetCmd(const char *str);
int syncStartupKeysets(void);
// Relays one line to the gateway: 0 or more when it ran it (its exit code
// raises the shell's), -9000 when it leaves it to the client, another
// negative value on a protocol failure (which raises the exit code to 69).
int ozu_OzugwdCommand(char *cc, int cclen);
int ozu_OzugwdRespHandler(uint32_t *flags, uint32_t *syncType, int32_t *len, char **data);
void displayResponse(FILE *file, int len, char *text);

// Handlers of the shell core.
int ozu_VerboseCommand(char *cc, int cclen);
int ozu_VersionCommand(char *cc, int cclen);
int ozu_SuniqueCommand(char *cc, int cclen);
int ozu_RuniqueCommand(char *cc, int cclen);
int ozu_PromptCommand(char *cc, int cclen);
int ozu_ProgressCommand(char *cc, int cclen);
int ozu_GlobCommand(char *cc, int cclen);
int ozu_EchoCommand(char *cc, int cclen);
int ozu_CaseCommand(char *cc, int cclen);
int ozu_CacheCommand(char *cc, int cclen);
int ozu_BellCommand(char *cc, int cclen);
int ozu_SharedMemCommand(char *cc, int cclen);
int ozu_AbortCommand(char *cc, int cclen);
int ozu_SetIdleCommand(char *cc, int cclen);
int ozu_SetCommand(char *cc, int cclen);
int ozu_EndCommand(char *cc, int cclen);
int ozu_HistoryCommand(char *cc, int cclen);
int ozu_HistSCommand(char *cc, int cclen);
int ozu_FirewallCommand(char *cc, int cclen);
int ozu_DebugCommand(char *cc, int cclen);
int ozu_HelpCommand(char *cc, int cclen);
int ozu_SetConCommand(char *cc, int cclen);
int ozu_ShowConCommand(char *cc, int cclen);
int ozu_OpenCommand(char *cc, int cclen);
int ozu_CloseCommand(char *cc, int cclen);
int ozu_SetDriveCommand(char *cc, int cclen);
int ozu_SuCommand(char *cc, int cclen);
int ozu_OutCommand(char *cc, int cclen);
int ozu_LogCommand(char *cc, int cclen);
int ozu_InCommand(char *cc, int cclen);
int ozu_LpwdCommand(char *cc, int cclen);
int ozu_LlsCommand(char *cc, int cclen);
int ozu_LcdCommand(char *cc, int cclen);
int ozu_LcdLsCommand(char *cc, int cclen);
int ozu_LmkdirCommand(char *cc, int cclen);
int ozu_LsSiteCommand(char *cc, int cclen);

#endif
