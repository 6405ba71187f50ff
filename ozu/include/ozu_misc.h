// Small services of the shell: the terminal status line, template and
// principal expansion, password files, storage symbolic links, the message
// of the day and the internal-error notice.
#ifndef OZU_MISC_H
#define OZU_MISC_H

#include "quor_types.h"

// One-line status on a terminal standard error, replacing the previous one;
// an empty text clears it. Takes the listing lock.
void ozu_ConsoleMessage(const char *theMsg);
// "FILE:" and the template with %H, %U, %N, %P expanded; new string or null.
char *ozu_ExpandKeytabPath(const char *templatePath, const char *homeDirParam,
                           const char *loginParam);
// The template with %U expanded; new string or null.
char *ozu_ExpandPrincipal(const char *templateName, const char *principalParam);
// The file's first line as the log-in password: 0 or -1.
int ozu_SetPasswordFromFile(const char *theFile);
// Follows up to 50 storage links: 0 with *absPath (new) and *objAttrs, a
// storage error, or -1.
int ozu_SymlinkToAbsPath(const char *linkPath, char **absPath, quor_Attrs_t *objAttrs);
int ozu_PrintMOTD(void);
void ozu_InternalError(const char *funcName, const char *srcFile, int srcLine);
// The local host name cut at its first ".", or "unknown_host".
void ozu_ShortHostName(char *buf, int size);

#endif
