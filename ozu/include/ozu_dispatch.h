// The command table and the dispatcher. Each command family declares its
// handlers in a header of its own (shell_commands.h, xfer_commands.h,
// ns_commands.h). Every handler has the form
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

#endif
