// Handlers of the transfer commands (get, put, copy and their kin), each
// named by a row of the one command table (cmdtable.cpp) and standing on
// the command frame (ozu_cmdframe.h). A handler has the form
// int handler(char *cc, int cclen) and returns 0 or 1, or -2 to have the
// dispatcher run the next command at once. Until a handler lands here its
// command stays with the gateway.
#ifndef OZU_XFER_COMMANDS_H
#define OZU_XFER_COMMANDS_H

int ozu_GetCommand(char *cc, int cclen);
int ozu_MgetCommand(char *cc, int cclen);
int ozu_CgetCommand(char *cc, int cclen);
int ozu_HashCreateCommand(char *cc, int cclen);
int ozu_HashVerifyCommand(char *cc, int cclen);
int ozu_PutCommand(char *cc, int cclen);
int ozu_MputCommand(char *cc, int cclen);
int ozu_CputCommand(char *cc, int cclen);
int ozu_CpCommand(char *cc, int cclen);
int ozu_CcpCommand(char *cc, int cclen);
int ozu_CrenameCommand(char *cc, int cclen);
// A comma-separated list of decimal COS ids into list (16 entries): the
// count stored (at most 16; the rest of the text is not read), or -1.
int parseCosString(const char *text, int *list);

#endif
