// Handlers of the namespace and attribute commands (ls, find, du, mkdir,
// chmod and their kin), each named by a row of the one command table
// (cmdtable.cpp) and standing on the command frame (ozu_cmdframe.h). A
// handler has the form int handler(char *cc, int cclen) and returns 0 or
// 1. Until a handler lands here its command stays with the gateway.
#ifndef OZU_NS_COMMANDS_H
#define OZU_NS_COMMANDS_H

#include <stdint.h>
#include <sys/types.h>

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

// Creating and removing: mkdir (md, add), rm (delete, erase), mdelete,
// rmdir (remove, rd).
int ozu_MkdirCommand(char *cc, int cclen);
int ozu_RmCommand(char *cc, int cclen);
int ozu_MdelCommand(char *cc, int cclen);
int ozu_RmdirCommand(char *cc, int cclen);
// Renaming and linking: mv (move), rename, ln, merge (does nothing).
int ozu_MvCommand(char *cc, int cclen);
int ozu_RenameCommand(char *cc, int cclen);
int ozu_LnCommand(char *cc, int cclen);
int ozu_MergeCommand(char *cc, int cclen);
// Accounts and annotations: newacct (returns 0), chacct, annotate, and the
// commands only the gateway serves (md5 and the hash and trash commands).
int ozu_NewacctCommand(char *cc, int cclen);
int ozu_ChacctCommand(char *cc, int cclen);
int ozu_AnnotateCommand(char *cc, int cclen);
int ozu_MD5Command(char *cc, int cclen);
int ozu_HashUpdateCommand(char *cc, int cclen);
int ozu_HashListCommand(char *cc, int cclen);
int ozu_HashDeleteCommand(char *cc, int cclen);
int ozu_TrashFindCommand(char *cc, int cclen);
int ozu_TrashLsCommand(char *cc, int cclen);
int ozu_TrashRmCommand(char *cc, int cclen);
int ozu_UndeleteCommand(char *cc, int cclen);
// Classes of service: lscos (returns 0), chcos.
int ozu_LsCosCommand(char *cc, int cclen);
int ozu_ChcosCommand(char *cc, int cclen);
// Residency: migrate, purge, plock, punlock, stage.
int ozu_MigrateCommand(char *cc, int cclen);
int ozu_PurgeCommand(char *cc, int cclen);
int ozu_PurgeLockCommand(char *cc, int cclen);
int ozu_PurgeUnlockCommand(char *cc, int cclen);
int ozu_StageCommand(char *cc, int cclen);

// A byte count as the class table shows it: the largest whole unit of XB,
// PB, TB, GB, MB (2^60 ... 2^20), KB below 2^20, B below 1024, else the
// plain number. out holds 32 bytes.
void convertU64ToStrWithSuffix(uint64_t value, char *out);

// Makes every missing directory of the absolute path dirPath (its text is
// the same again on return): intermediate ones with createMode | 0700, the
// last with createMode; on the gateway's own file system in local run
// mode. 0 when the whole path is a directory afterwards (a bare name that
// does not exist: 0, nothing made), -1 after the message (exit result 72).
int ozu_MakeAllSubdirs(char *dirPath, mode_t createMode);
// Copies source into sink (sinkSize bytes, zero-filled, always terminated)
// with the escapes \" \' \? \\ \a \f \n \r \t \v expanded and other
// backslashes kept; cut at sinkSize - 1. -1 when source ends in a lone
// backslash (what came before is kept), else 0.
int ozu_ExpandAnnotationString(const char *source, const char *path, char *sink, int sinkSize);
// Sets the comment of path to text (at most 254 characters). 0, or -1
// after the message (exit result 70).
int ozu_AnnotateObject(const char *path, const char *text);

// The directory-listing cache. Commands that change a directory drop its
// entries so that a later listing reads it afresh; turning caching off
// empties it.
void listVoidPath(const char *path);
void listVoidCache(void);

#endif
