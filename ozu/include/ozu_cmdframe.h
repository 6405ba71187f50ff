// The frame every command handler stands on, so that a handler holds only
// its own steps. A handler declares one ozu_cmd_t; that remembers the
// current connection, clears minus_opt and splits the tail into words. The
// handler then takes its options (ozu_CmdOption), the keyword settings
// (ozu_CmdKeywords), and its names (ozu_CmdNextName), expanding each with
// ozu_CmdExpandPath and ozu_CmdGlob, or handing them to ozu_CmdEachMatch
// with its own steps, and walking directories with ozu_CmdWalk. When the ozu_cmd_t goes out of scope the wildcard result and
// the words are released and the remembered connection is made current
// again ("*** Unable to switch back to previous connection! \n" on errFile
// when that fails).
#ifndef OZU_CMDFRAME_H
#define OZU_CMDFRAME_H

#include <stddef.h>

#include <functional>
#include <vector>

#include "ozu_glob.h"

#include "ozu_walk.h"

struct ozu_context;

// Room for one expanded storage path, its NUL included.
#define OZU_CMD_PATHLEN 1025

// Results of ozu_CmdOption besides a letter, '?' and ':'.
#define OZU_OPT_END (-1)
#define OZU_OPT_REJECTED 0x200  // a word naming no keyword and holding a stranger letter
#define OZU_OPT_KEYWORD 0x100   // keyword option i comes back as OZU_OPT_KEYWORD + i

// What ozu_CmdKeywords does with kw=value whose keyword no keyset knows.
#define OZU_KW_UNKNOWN_IS_NAME 0  // the words stay names
#define OZU_KW_UNKNOWN_ENDS 1     // log_UnknownKeyword, the command ends

struct ozu_cmd_t {
  int startHandle;           // connection current at the start, -1 for none
  int argc;
  char **argv;               // the tail's words, split in place
  std::vector<char *> names; // the words left after options and keywords
  size_t nextName;           // the next of names that ozu_CmdNextName gives
  int recurse;               // ozu_CmdWalk descends (the handler's -R)
  bool globLive;             // globv holds a result the frame must free

  ozu_cmd_t(char *cc, int cclen);
  ~ozu_cmd_t();
  ozu_cmd_t(const ozu_cmd_t &) = delete;
  ozu_cmd_t &operator=(const ozu_cmd_t &) = delete;
};

// The next option of the words from ozu_optind on (ozu_Getopt): a letter
// of letters (argument in ozu_optarg), '?' or ':' (the letter in
// ozu_optopt), OZU_OPT_KEYWORD + i for keywords[i], OZU_OPT_REJECTED for a
// skipped word, or OZU_OPT_END at the first word that is no option.
int ozu_CmdOption(ozu_cmd_t *cmd, const char *letters, const char *const *keywords);

// Applies every keyword setting from word ozu_optind on to the running
// command's keyset (kw=v, kw= v, kw =v, kw = v) and keeps the other words,
// in order, as names. 0, or -1 after the standard message (exit result 64)
// for a missing or bad value, or an unknown keyword under
// OZU_KW_UNKNOWN_ENDS: the command then ends.
int ozu_CmdKeywords(ozu_cmd_t *cmd, int unknownKeyword);

// The next name, or null when none is left or the command was interrupted.
char *ozu_CmdNextName(ozu_cmd_t *cmd);

// A typed storage path into path (OZU_CMD_PATHLEN bytes). A drive prefix
// makes its connection current for the rest of the command. 0, or -1
// after a message.
int ozu_CmdExpandPath(ozu_cmd_t *cmd, const char *word, char *path);

// Wildcard matches of pattern (pathtype 0 local, 1 storage) in globv,
// sorted by name; the previous result of the command is released first.
// The count (0 after the no-match warning), or -1.
int ozu_CmdGlob(ozu_cmd_t *cmd, const char *pattern, int pathtype);
void ozu_CmdGlobDone(ozu_cmd_t *cmd);

// How ozu_CmdEachMatch treats each name. Every step but match may be left
// empty.
struct ozu_each_t {
  int pathtype = 1;          // 0 local names, 1 storage names (expanded first)
  bool driveWord = true;     // a bare "X:" is refused (log_MissingPathForDrive)
  bool copyOut = false;      // the matches are copied and the wildcard result
                             // released before match runs: match may glob again
  const int *stop = nullptr; // a flag that ends the command as an interrupt does
  // After the expansion, before the wildcard: false skips the name.
  std::function<bool(const char *word)> expanded;
  // After the wildcard (count of matches): false skips the name.
  std::function<bool(const char *word, int count)> globbed;
  std::function<void(const globstruct_t &g)> match;
  // After a name's matches, the wildcard result released.
  std::function<void()> done;
};

// One typed name: expanded, matched, each match in sorted order until the
// command is interrupted. 0 (also for a name skipped after a message), or
// -1 when the wildcard failed and the command must end.
int ozu_CmdEachMatchOf(ozu_cmd_t *cmd, const char *word, const ozu_each_t &how);

// ozu_CmdEachMatchOf for first and every name after it (ozu_CmdNextName),
// until the command is interrupted or a wildcard fails. 0, or -1.
int ozu_CmdEachMatch(ozu_cmd_t *cmd, char *first, const ozu_each_t &how);

// Walks a storage directory, descending when cmd->recurse is set; stops
// when the command is interrupted. 0, or -1 when an error was counted.
int ozu_CmdWalk(ozu_cmd_t *cmd, const char *path, quordir_ent_func_t entCallback,
                quordir_subdir_func_t subdirCallback, dir_enddir_func_t enddirCallback);

// Makes the remembered connection current again now (the frame does it
// at the end anyway). 0, or -1 after the switch-back message.
int ozu_CmdSwitchBack(ozu_cmd_t *cmd);

// The letter, as typed, of a word that must begin with a drive prefix
// "X:"; 0 after "*** Not a logical drive: %s" (exit result 0).
int ozu_CmdDriveWord(const char *word);

#endif
