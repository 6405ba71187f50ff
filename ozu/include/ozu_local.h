// Local commands: the shell escape and the local log.
#ifndef OZU_LOCAL_H
#define OZU_LOCAL_H

// Runs cmd with the system shell under the real user id: its status.
int ozu_SystemCmd(const char *cmd);
// Opens the local log named by OZU_LOGFILE: 0 when open, else -1.
int ozu_InitLocalLog(const char *logDir, int argc, char **argv);

#endif
