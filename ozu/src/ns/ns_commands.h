// Handlers of the namespace and attribute commands (ls, find, du, mkdir,
// chmod and their kin), each named by a row of the one command table
// (cmdtable.cpp) and standing on the command frame (ozu_cmdframe.h). A
// handler has the form int handler(char *cc, int cclen) and returns 0 or
// 1. Until a handler lands here its command stays with the gateway.
#ifndef OZU_NS_COMMANDS_H
#define OZU_NS_COMMANDS_H

// Listings: ls, list, dir.
int ozu_ListCommand(char *cc, int cclen);
// Working directories: cd and cd0-cd9 (1 when the slot was set, 0 when the
// path is no directory, the storage error when it cannot be examined, -1
// when it does not expand to one object), cdls, pwd and pwd0-pwd9.
int ozu_CdCommand(char *cc, int cclen);
int ozu_CdLsCommand(char *cc, int cclen);
int ozu_PwdCommand(char *cc, int cclen);
// Modes: chmod, umask.
int ozu_ChmodCommand(char *cc, int cclen);
int ozu_UmaskCommand(char *cc, int cclen);
// Owners: chown, chgrp.
int ozu_ChownCommand(char *cc, int cclen);
int ozu_ChgrpCommand(char *cc, int cclen);
// Space usage and attributes: du, dump.
int ozu_DuCommand(char *cc, int cclen);
int ozu_DumpCommand(char *cc, int cclen);
// Search: find.
int ozu_FindCommand(char *cc, int cclen);
// Identity and filesets: lsfileset and lsfset, lsjunctions, groups, newgrp
// (returns 0), id, whoami.
int ozu_LsFilesetCommand(char *cc, int cclen);
int ozu_LsJunctionsCommand(char *cc, int cclen);
int ozu_GroupsCommand(char *cc, int cclen);
int ozu_NewGrpCommand(char *cc, int cclen);
int ozu_IdCommand(char *cc, int cclen);
int ozu_WhoAmICommand(char *cc, int cclen);
// Times: touch.
int ozu_TouchCommand(char *cc, int cclen);

// The directory-listing cache. Commands that change a directory drop its
// entries so that a later listing reads it afresh; turning caching off
// empties it.
void listVoidPath(const char *path);
void listVoidCache(void);

#endif
