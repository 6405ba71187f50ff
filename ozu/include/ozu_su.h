// su and sudo identities of a connection.
#ifndef OZU_SU_H
#define OZU_SU_H

// *retCommand is the line starting with "sudo"; 0 with the command to run
// under sudo left in *retCommand (null for a sudo shell session), or -1.
int ozu_SudoCommand(char **retCommand, int cclen);
void sudo_TerminateSudoCommand(int flag);

#endif
