// Local commands: the shell escape and the local log.
#ifndef OZU_LOCAL_H
#define OZU_LOCAL_H

// Runs cmd with the system shell under the real user id: its status.
int ozu_SystemCmd(const char *cmd);
// Opens the local log named by OZU_LOGFILE: 0 when open, else -1.
int ozu_InitLocalLog(const char *logDir, int argc, char **argv);
// Flushes the listing file of "out"; once a write to it failed, says so
// on the error output (once per file) and raises the exit code to 73.
// With closing, the file is closed too (and the listing goes back to the
// terminal).
void ozu_CheckListingFile(int closing);

#endif
