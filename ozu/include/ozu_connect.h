// The connections of the session: lookup, switch and close.
#ifndef OZU_CONNECT_H
#define OZU_CONNECT_H

struct ozu_context;

struct ozu_context *ozu_LookupConnection(int theHandle);
// Makes that connection current for the shell and the library: 0, or -1
// after its own message.
int ozu_SetCurConnection(int newHandle);
// Makes the connection remembered at a command's start (-1: none) current
// again when another one is: 0, or -1 after "*** Unable to switch back to
// previous connection! \n" on errFile.
int ozu_SwitchBack(int startHandle);
int ozu_CloseConnection(int theHandle);
// Makes sure the current connection's client-interface table exists: the
// interfaces configured for this client and its gateway, else the client
// host's own address alone. Data listen sockets rotate through it.
void ozu_BuildIfTable(void);

#endif
