// The synopsis and the full help text.
#include <stdio.h>

#include "brix.h"

namespace {

const char* const synopsis[] = {
    "Usage:",
    "",
    "brix  -{c|D|K|t|U|x|X} -f Archive [-?] [-B] [-E] [-h] [-H opt[:opt...]",
    "     [-d debuglevel] [--exclude, etc. opts] [-I {IndexFile | .suffix}] [-L inputlist] ",
    "     [-M maxfiles] [-m] [-n days[:hours]] [-O] [-o] [-p] [-q]",
    "     [-v] [-V [-w  [-Y auto | [Archive COS ID][:Index File COS ID]]",
    "     [-S Bufsize] [-T Max Threads] [Filespec | Directory ...]",
};

const char* const fullHelp[] = {
    "Usage: brix -{c|D|K|t|U|x|X} -f Archive [options] [Filespec | Directory ...]",
    "",
    "   -f Archive   Specifies Archive file name (required option)",
    "   -c           Create a new archive and its index file",
    "   -D           Soft-delete members (they stay in the archive, hidden)",
    "   -K           Verify an archive against its index and the local files",
    "   -t           List the members of an archive from its index file",
    "   -U           Undelete soft-deleted members",
    "   -x           Extract members",
    "   -X           Rebuild the index file of an existing archive",
    "",
    "   -?           Show this help text",
    "   -B           List block numbers of the members",
    "   -d level     Debug level, 0 to 5",
    "   -E           Archive and index are local files",
    "",
    "  Exclusion options (create):",
    "   --exclude=PATTERN            Leave out names matching PATTERN",
    "   --exclude-from=FILE          Leave out names matching the patterns in FILE",
    "   --exclude-ignore=FILE        Read patterns of a directory from its FILE",
    "   --exclude-ignore-recursive=FILE",
    "                                As --exclude-ignore, the patterns also apply below",
    "   --exclude-backups            Leave out backup and lock files",
    "   --exclude-caches             Leave out the contents of cache directories,",
    "                                keeping the directory and its CACHEDIR.TAG",
    "   --exclude-caches-under       As --exclude-caches, without CACHEDIR.TAG",
    "   --exclude-caches-all         Leave out cache directories whole",
    "   --exclude-tag=FILE           Leave out the contents of directories holding",
    "                                FILE, keeping the directory and FILE",
    "   --exclude-tag-under=FILE     As --exclude-tag, without FILE",
    "   --exclude-tag-all=FILE       Leave out directories holding FILE whole",
    "   --exclude-vcs-ignores        Read the ignore files of version-control tools",
    "   --exclude-vcs                Leave out version-control directories and files",
    "",
    "   -f Archive   The archive; \"-\" is standard output (create) or input",
    "",
    "   -H opt[:opt...]  Named options, also given as --opt or --opt=value:",
    "      acct=ID|NAME      Account to charge",
    "      crc               Compute the CRC-32 of member data at create",
    "      cix               Copy the index to a local file before extracting",
    "      copies=N          Copies for automatic class-of-service selection (1-5)",
    "      nocfchk           Skip the consistency-file check",
    "      exfile=PATH       Exceptions file (%H home, %U login, %N host, %P pid)",
    "      family=ID[,ID]    Family ids of the archive and of the index",
    "      msg_interval=SEC  Seconds between status FIFO heartbeats (1-3600)",
    "      okfile=PATH       Success file",
    "      nocrc             Do not compute CRC-32s",
    "      noglob            Do not expand wildcards in names",
    "      norecurse         Do not descend into directories",
    "      nostage           Do not stage a tape-resident archive first",
    "      port=N            Gateway port",
    "      relpaths          Verify against relative paths",
    "      rmlocal           Remove local member files after a successful create",
    "      server=HOST       Gateway host",
    "      tss=SIZE          Stack size of reader threads",
    "      umask=OCTAL       Creation mask",
    "      verify=WORD[,WORD...]  Verification after create:",
    "         info               member information",
    "         crc / nocrc        CRC-32 of member data",
    "         compare / nocompare  member data against the local files",
    "         0                  info",
    "         1                  info and crc",
    "         2                  info, crc and compare",
    "         all                info, crc and compare",
    "         paranoid / noparanoid  extra checks before removing local files",
    "",
    "   -h           Follow symbolic links",
    "   -I name      Index file name, or a suffix added to the archive name",
    "                when it begins with \".\" (default: Archive.idx)",
    "   -J           Member names are index ordinals",
    "   -l login     Log in as this principal",
    "   -L file      Read member names from file (\"-\" for standard input)",
    "   -M count     Largest number of members",
    "   -m           Extracted files take the extraction time",
    "   -N fifo      Write status lines to this FIFO",
    "   -n d[:h]     Create: only files modified in the last d days and h hours",
    "   -O           Extract to standard output",
    "   -o           Extracted files belong to the running user",
    "   -p           Restore permissions ignoring the umask",
    "   -P           Create missing parent directories of archive and index",
    "   -q           Quiet: no console status lines",
    "   -S size      Archive I/O buffer size (at least 512k)",
    "   -T count     Reader threads",
    "   -V           Slightly verbose: transfer statistics",
    "   -v           Verbose: statistics and member names",
    "   -w           Ask before acting on each member",
    "   -Y cos       Class of service: auto, or [Archive COS ID][:Index File COS ID]",
};

}  // namespace

void brix_Usage(int full) {
  if (full) {
    for (const char* line : fullHelp) fprintf(stderr, "%s\n", line);
  } else {
    for (const char* line : synopsis) fprintf(stderr, "%s\n", line);
  }
  fflush(stderr);
}
