// Handlers of the transfer commands, in the dispatcher's convention
// (ozu_dispatch.h): the command line and the length of the command word;
// each returns 1.
#ifndef OZU_XFER_COMMANDS_H
#define OZU_XFER_COMMANDS_H

int ozu_GetCommand(char *cc, int cclen);
int ozu_MgetCommand(char *cc, int cclen);
int ozu_CgetCommand(char *cc, int cclen);

#endif
