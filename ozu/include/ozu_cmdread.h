// Command reading: start-up commands, the "in" file, the line editor with
// history, or plain standard input with its idle time-out; continuation
// lines and ";" splitting; the history commands.
#ifndef OZU_CMDREAD_H
#define OZU_CMDREAD_H

#include <string>

extern char *pcmdbuf;
extern int histSize;
extern char *histFile;
extern char *rexecCommand;

// The next command into loccmdLine (empty when there is none).
void ozu_GetNextCommand(void);
// One physical line into buf (line end and trailing blanks removed): its
// length; *eofReached 1 at the end of input. A line longer than bufLen - 1
// characters, from any source, is refused whole with the overflow message:
// -1, buf empty, or "\" when the line asked for a continuation.
int ozu_GetCommandLine(const char *promptString, char *buf, int bufLen, int *eofReached);
// Drops the rest of the current command buffer.
void ozu_TermCmdLine(void);

int ozu_CmdEditorInit(const char *progName);
// whole, when given, receives the line as the editor returned it, however
// long.
int ozu_CmdGetNextCommandString(char *buffer, int bufLen, int *eofReached,
                                std::string *whole = nullptr);
void ozu_CmdSetPromptString(const char *theString);
void ozu_CmdSetContinuation(int flag);
void ozu_CmdSaveHistory(void);
void ozu_CmdHistRexec(const char *cmdPrefix, const char *oldStr, const char *newStr);
void ozu_CmdPrintHistory(const char *firstString, const char *lastString, int printNumbers,
                         int reverseFlag);

#endif
