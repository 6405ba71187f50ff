// The option scanner of the command handlers, over a vector from
// ozu_MakeArgv (word 0 is the first word after the command). Callers start
// a scan with ozu_optind = 0 (and usually ozu_opterr = 0). Returns a letter
// (ozu_opttype 2), '?' or ':' for an unknown letter or missing argument, a
// keyword index (type 1), or -1: the end of the options (ozu_opterr 0) or
// a rejected word that was skipped (ozu_opterr -1, type 1).
#ifndef OZU_GETOPT_H
#define OZU_GETOPT_H

extern int ozu_optind;
extern char *ozu_optarg;
extern int ozu_opterr;
extern int ozu_optopt;
extern int ozu_opttype;

int ozu_Getopt(int Argc, char **Argv, const char *FlagOpts, const char *const *KeywordOpts);
// Closes any open letter group; the dispatcher calls it before each command.
void ozu_GetoptReset(void);

#endif
