// Start-up, the main loop and the end of the shell.
#ifndef OZU_STARTUP_H
#define OZU_STARTUP_H

struct quor_sockaddr;

int ozu_main(int argc, char **argv);
int parseCmdLine(int argc, char **argv);
void checkNologin(const char *path, int storageResident);
void setupTTY(void);
void setAPIConfigOptions(void);
// The library settings the shell wants, on the current connection: the set
// call's result; *routine names the call that gave it.
int ozu_ApplyAPIConfig(const char **routine);
int getHostIP(const char *hostName, struct quor_sockaddr *hostIP);
[[noreturn]] void shutdownOZU(void);

#endif
