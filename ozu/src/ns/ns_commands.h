// Handlers of the namespace and attribute commands (ls, find, du, mkdir,
// chmod and their kin), each named by a row of the one command table
// (cmdtable.cpp) and standing on the command frame (ozu_cmdframe.h). A
// handler has the form int handler(char *cc, int cclen) and returns 0 or
// 1. Until a handler lands here its command stays with the gateway.
#ifndef OZU_NS_COMMANDS_H
#define OZU_NS_COMMANDS_H

#endif
