// Handlers of the shell's own commands (sessions, settings, keysets,
// local commands, sites), each named by a row of the one command table
// (cmdtable.cpp). Handler form and results: ozu_dispatch.h.
#ifndef OZU_SHELL_COMMANDS_H
#define OZU_SHELL_COMMANDS_H

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
int ozu_ShowCommand(char *cc, int cclen);
int ozu_KeepCommand(char *cc, int cclen);
int ozu_FreeCommand(char *cc, int cclen);
int ozu_AdoptCommand(char *cc, int cclen);
int ozu_LsSiteCommand(char *cc, int cclen);

#endif
