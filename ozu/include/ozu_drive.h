// Drive letters of connections.
#ifndef OZU_DRIVE_H
#define OZU_DRIVE_H

struct ozu_context;

int ozu_GetDriveLetter(const char *text);
// A word that is one letter, optionally followed by ':', names a drive:
// the letter in upper case; 0 for any other word.
int ozu_DriveLetterWord(const char *word);
// The text after a "X:" prefix with *drivePrefixLen 2, else null and 0.
char *ozu_CheckDrivePrefix(char *text, int *drivePrefixLen);
struct ozu_context *ozu_LookupContextByDrive(const char *text);
int ozu_LookupDriveForContext(int handle, char *letter);
char ozu_AssignDriveLetter(void);
int ozu_VerifyDriveLetter(int letter, const char *site, const char *host, int port);

#endif
