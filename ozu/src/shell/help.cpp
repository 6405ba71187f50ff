// The help summary and the command-line usage text.
#include "ozu_help.h"

#include <stdio.h>
#include <string.h>

#include "ozu_dispatch.h"
#include "ozuvars.h"
#include "shell_commands.h"

namespace {

struct helpRow {
  const char *commands;
  const char *description;
};

struct helpSection {
  const char *heading;
  int dashes;
  int width;
  const helpRow *rows;
  int count;
};

const helpRow files[] = {
    {"get, cget, mget, recv", "Copy QUOR file to local directory"},
    {"put, cput, mput, replace, save, store, send", "Copy a local file to QUOR"},
    {"crename", "conditionally rename file(s)"},
    {"cp, copy, ccp", "Copy (or conditionally copy) file(s) within QUOR"},
    {"delete, mdelete, erase, rm", "Remove a file from QUOR"},
    {"dump", "display Core Server info for an QUOR object"},
    {"firewall", "enable/disable firewall transfer mode"},
    {"give", "Give file(s) to another user"},
    {"ls, list, dir", "List directory"},
    {"pwd", "Print current directory"},
    {"find", "Traverse a directory tree looking for a file"},
    {"ln", "Create symbolic link in QUOR"},
    {"mv, move, rename", "Rename an QUOR file"},
    {"mkdir, md, add", "Create an QUOR directory"},
    {"rmdir, rd, remove", "Delete an QUOR directory"},
    {"cd, cdls", "Change current directory"},
    {"touch", "Update last access timeor create file(s)"},
};
const helpRow acls[] = {
    {"chacl", "change or create ACL for QUOR files/directories"},
    {"lsacl", "list ACL for QUOR files/directories"},
};
const helpRow checksums[] = {
    {"hashcreate", "create a checksum hash for an existing QUOR file"},
    {"hashdelete", "delete a checksum hash for QUOR file(s)"},
    {"hashlist,hashls,lshash", "list checksum hash for QUOR file(s)"},
    {"hashverify", "verify hash for QUOR file(s)"},
};
const helpRow local[] = {
    {"lcd, lcdls", "Change local directory"},
    {"lls", "List local directory"},
    {"lmkdir, lmd", "Make local directory"},
    {"lpwd", "Print current local directory"},
    {"!<command>", "Issue shell command"},
};
const helpRow history[] = {
    {"history", "display command line history"},
    {"r", "alias for \"hist -s\" command"},
};
const helpRow admin[] = {
    {"annotate", "Set annotation metadata for files/directories"},
    {"chacct", "Change account id for files/directories"},
    {"chgrp", "Change group id of file or directory"},
    {"chmod", "Change permissions of file or directory"},
    {"chown", "Change owner of file or directory"},
    {"groups", "Display current group membership"},
    {"id", "Display current UID "},
    {"umask", "Set file creation permission mask"},
    {"whoami", "Display current identity (uid, group)"},
};
const helpRow hierarchy[] = {
    {"chcos", "Change Class of Service for files"},
    {"du", "Display space usage"},
    {"lscos", "List available Classes of Service"},
    {"lsfileset, lsfset", "list QUOR filesets"},
    {"lsjunctions", "list QUOR junctions"},
    {"*migrate", "Move a file down the hierarchy (from the disk cache to tape)"},
    {"*plock", "Lock file(s) into disk cache - make them non-purgeable"},
    {"*punlock", "Unlock files previously locked by \"plock\""},
    {"*purge", "Delete a migrated file from the disk cache"},
    {"*stage", "Copy a file to the disk cache"},
};
const helpRow sessions[] = {
    {"connect, open", "open a concurrent connection to another QUOR"},
    {"close", "close an QUOR connection"},
    {"lsconnections", "list current active QUOR connection(s)"},
    {"lssites", "list site entries from ozurc file(s)"},
    {"newacct", "change current active account name or ID"},
    {"newgrp", "change current active group"},
    {"setcon", "alias for \"setdrive\" command"},
    {"setdrive", "set logical drive letter as current connection"},
    {"showcon", "show list of current connections"},
    {"switch", "Alias for \"connect\" command"},
    {"su", "Switch to a different user identity"},
    {"sudo", "Issue command(s) as a different user"},
};
const helpRow keywords[] = {
    {"set, default", "Change keyword value"},
    {"COSLIST", "COS list name to use for subsequently created files"},
    {"DIRn", "Set working directory"},
    {"TALK", "Turns on/off verbose mode"},
    {"BACKUP", "Keep a copy of overwritten files"},
};
const helpRow keysets[] = {
    {"adopt", "Load a keyset"},
    {"free", "Delete a keyset"},
    {"keep", "Save a keyset"},
    {"show", "Display a keyset"},
};
const helpRow control[] = {
    {"debug", "Set debugging level [0-5]"},
    {"help", "Display help file"},
    {"quit, exit, end", "Terminate OZU"},
    {"glob", "Toggle wildcard expansion"},
    {"hash", "Toggle file transfer hashmarks"},
    {"idletime", "set interactive command idle timeout period"},
    {"in", "Read commands from a local file"},
    {"log", "Write all OZU commands and responses to a local log file"},
    {"out", "Write OZU output to a local file"},
    {"bell", "Toggles terminal bell"},
    {"progress", "toggle displaying interactive file transfer progress message"},
    {"prompt", "Toggles OZU prompting for mget, mput, and mdelete"},
    {"verbose", "Toggles OZU verbose output mode"},
    {"version", "Displays the OZU version number and compile-time info"},
};

#define SECTION(h, d, w, r) {h, d, w, r, int(sizeof r / sizeof r[0])}
const helpSection sections[] = {
    SECTION("QUOR File and Directory Commands", 32, 33, files),
    SECTION("QUOR Access Control List Commands", 32, 33, acls),
    SECTION("QUOR Checksum Commands", 32, 33, checksums),
    SECTION("Local File and Local Directory Commands", 33, 33, local),
    SECTION("Interactive History Commands", 33, 33, history),
    SECTION("File Administrative Information", 31, 33, admin),
    SECTION("Storage Hierarchy Commands [* = may be disallowed at some sites", 25, 33, hierarchy),
    SECTION("Administrative and Multi-Session Commands", 32, 33, sessions),
    SECTION("Keywords", 8, 33, keywords),
    SECTION("Saved Keysets", 13, 33, keysets),
    SECTION("OZU control commands", 11, 34, control),
};

const char *const closing[] = {
    "+++++++++++++++++++++++++++++++++++++",
    "OZU is a command driven interface to the QUOR Mass Storage System.",
    "",
    "OZU can accept input several different ways:",
    "  From a command line.     Example: ozu",
    "  Single line execution.   Example: ozu \"mkdir foo; cd foo; put data_file\"",
    "  From a command file.     Example: ozu \"in command_file\"",
    "",
    "OZU can read from standard input and write to standard output.  ",
    "Command line example:",
    "  tar cvf - . | ozu put - : data.tar",
    "  ozu get - : data.tar | tar xvf -",
    "Interactive example:",
    "  put \"|tar cvf - *.c\"  : data.tar",
    "  get \"|tar xvf -\" : data.tar",
    "",
    "WARNING: For 'get' and 'put' operations, OZU uses a different syntax",
    " than FTP to identify the local file name.  The syntax uses a ':' to",
    " identify the local file name.  Example:  put local_file : quor_file",
    "",
    "Recursive operations are allowed for the following commands:",
    " cget, chgrp, chmod, chown, cput, delete, get, ls, mdelete, mget,",
    " migrate, mput, purge, put, rm, stage, touch",
    "",
    "Wildcards are supported.",
    "",
};

const char *const usage[] = {
    "Usage: ozu -help (or -?) ",
    "   ozu [-a acct_id|acct_name] [-A authmethod] [-c krb_cred_file] [-d level] [-e] [-G globus "
    "proxy path]",
    "       [-h  host[/port]  [-k keytabfile] [-l loginname] [-O listingFile] [-o] [-P] [-p "
    "port] [-s site]",
    "       [-q] [-v] [cmds]",
    "  Parameters:",
    "   -a acct_id | acct_name - specifies the QUOR account ID or account name to set",
    "      after login completes. This will be used for all new file creations",
    "   -A authmethod   - authentication method. Case-insensitive legal method names are: ",
    "      \"combo\",\"keytab\",\"ident\",\"gsi\",\"local\"",
    "   -c krb_cred_file  - pathname to use for Kerberos credentials cache file ",
    "   -d debug_level - debug message level (0-5) default is 0",
    "   -e             - command echo flag. Echos lines read from <IN> file(s) to the listable "
    "output file",
    "   -h host - specifies host name or IP address of the QUOR server, and optionally,",
    "      the port on which to connect",
    "   -k keytabfile - specifies pathname to DCE keytab file",
    "   -l loginname - specifies login name to use.",
    "     For kerberos, this is usually of the form \"name@realm\"",
    "   -O listingFile - specifies filename to contain all listable output, error messages,etc",
    "        This option is intended for use by programs that run ozu as a child process",
    "        and internally disables verbose (-v) mode, and sets quiet (-q) mode. (This can",
    "        be overridden by specifying the -v or -q parameters after the -O parameter)",
    "   -o  (root only) - override <no-login> setting",
    "   -P  (\"popen\" flag) - specifies that OZU is being run via popen (as a child process).",
    "        All messages (listable output,error message) are written to stdout.",
    "        OZU may not be used to pipe output to stdout if this flag is specified",
    "   -p port - specifies the port number to use when connecting to the QUOR server",
    "        If -p is specified, then the optional port should be omitted from the -h ",
    "        option, if -h is specified",
    "   -q - specifies \"quiet\" mode. Suppresses login message,file transfer progress messages, "
    "etc.",
    "   -s site - specifies the site name to connect to at startup.  This name must match one of",
    "     the stanza names in either the global ozurc file, or in the user's private .ozurc file",
    "   -v - specifies \"verbose\" mode for listable output",
};

}  // namespace

void ozu_HelpSummary(void)
{
  FILE *f = ttyOut ? ttyOut : stderr;
  fputs("\nYou can also type \"ozu -?\" to get just a command line summary\n\n", f);
  for (const helpSection &s : sections) {
    fprintf(f, "%s\n", s.heading);
    for (int i = 0; i < s.dashes; ++i)
      fputc('-', f);
    fputc('\n', f);
    for (int i = 0; i < s.count; ++i) {
      const char *names = s.rows[i].commands;
      if (int(strlen(names)) < s.width)
        fprintf(f, "%-*s- %s\n", s.width, names, s.rows[i].description);
      else
        fprintf(f, "%s - %s\n", names, s.rows[i].description);
    }
    fputc('\n', f);
  }
  for (const char *line : closing)
    fprintf(f, "%s\n", line);
  fflush(f);
}

void ozu_Usage(void)
{
  FILE *f = ttyOut ? ttyOut : stderr;
  for (const char *line : usage)
    fprintf(f, "%s\n", line);
  fflush(f);
}

int ozu_HelpCommand(char *, int)
{
  ozu_HelpSummary();
  return 1;
}
