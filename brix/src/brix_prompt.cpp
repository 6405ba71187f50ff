// The interactive yes/no/all/quit question on the controlling terminal.
#include <ctype.h>
#include <stdio.h>
#include <unistd.h>

#include "brix.h"

int brix_GetYesNo(const char* action, const char* prompt, const char* path) {
  static const char* fn = "brix_GetYesNo";
  int answer = 1;
  FILE* tty = fopen("/dev/tty", "r");
  if (!tty) {
    brix_Log(BRIX_MSG_ERROR, "%s:  error opening control terminal - assuming YES response\n", fn);
    return 1;
  }
  if (!isatty(fileno(tty))) {
    brix_Log(BRIX_MSG_ERROR, "%s - can't use control terminal interactively\n", fn);
    fclose(tty);
    return 1;
  }
  char line[512];
  for (;;) {
    if (prompt)
      fprintf(stderr, "%s %s '%s'? [Y/N] ", action, prompt, path);
    else
      fprintf(stderr, "%s '%s'? ([Y]es,[N]o,[A]ll,[Q]uit) ", action, path);
    fflush(stderr);
    if (!fgets(line, sizeof line, tty)) break;
    int c = toupper(static_cast<unsigned char>(line[0]));
    if (c == 'Y') { answer = 1; break; }
    if (c == 'N') { answer = 2; break; }
    if (!prompt && c == 'A') { answer = 3; break; }
    if (!prompt && c == 'Q') { answer = 4; break; }
  }
  fclose(tty);
  return answer;
}
