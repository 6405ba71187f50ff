// The connections of the session: lookup, switch and close.
#ifndef OZU_CONNECT_H
#define OZU_CONNECT_H

struct ozu_context;

struct ozu_context *ozu_LookupConnection(int theHandle);
// Makes that connection current for the shell and the library: 0, or -1
// after its own message.
int ozu_SetCurConnection(int newHandle);
int ozu_CloseConnection(int theHandle);

#endif
