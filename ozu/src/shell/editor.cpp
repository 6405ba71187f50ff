// The line editor (libedit) with its history, and the history commands.
#include <ctype.h>
#include <histedit.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ozu_cmdread.h"
#include "ozu_dispatch.h"
#include "ozu_getopt.h"
#include "ozu_log.h"
#include "ozu_tokens.h"
#include "ozu_util.h"
#include "ozuvars.h"
#include "shell_commands.h"

int histSize = 512;
char *histFile = nullptr;
char *rexecCommand = nullptr;

namespace {

History *histStruct = nullptr;
HistEvent historyEvent;
EditLine *lineStruct = nullptr;
std::string PromptString;
int Continuation = 0;

char *prompt(EditLine *) { return const_cast<char *>(PromptString.c_str()); }

const char *const histUsage[] = {
    "hist [ -e ename  ] [ -nlr ] [ first [ last ] ]",
    "hist -s  [ old=new ] [ command ]",
    "",
    "In the first form, a range of commands from  first  to  last  is",
    "selected  from the last HISTSIZE commands that were typed at the",
    "terminal. ",
    "-e:   specifies editor name to be used if -l is not specified. If the",
    "      editor name is not specified, then the HISTEDIT and FCEDIT environment",
    "      variables are checked, in that order, for the editor to use. If neither",
    "      editor is set, the '/bin/ed' will be used",
    " first and last:   may be  specified  as  a number  or  as  a  string.",
    "    - A string is used to locate the most recent command starting with the ",
    "     given string.  ",
    "    - A negative  number is used as an offset to the current command number.",
    "-l: commands are listed on standard  output.",
    "-n: if specified, suppresses line numbers when listing",
    "-r: reverse the order of first and last",
    "",
    "In the second form, if \"old=new\" is specified, there must be no whitespace",
    "surrounding the \"-\" character",
    "",
    "When  editing  is complete, the edited command(s) is executed if",
    "the changes have been saved.  If last is not specified, then  it",
    "will be set to first.  If first is not specified, the default is",
    "the previous command for  editing  and  -16  for  listing.   The",
    "option  -r  reverses the order of the commands and the option -n",
    "suppresses command numbers when listing.  In  the  second  form,",
    "command  is interpreted as first described above and defaults to",
    "the last command executed.  The resulting  command  is  executed",
    "after the optional substitution old=new is performed.",
};

bool startsWith(const char *s, const char *prefix)
{
  return strncmp(s, prefix, strlen(prefix)) == 0;
}

int commonHistory(char *cc, int cclen, int mask)
{
  if (!editorEnabled) {
    fprintf(listF,
            "History command is unavailable for batch jobs, or if -P was specified on command "
            "line\n");
    return 0;
  }
  if (infileFlag) {
    fprintf(listF, "History command is unavailable within an <IN> file\n");
    return 0;
  }
  minus_opt = mask;
  int argc = 0;
  char **argv = ozu_MakeArgv(cc + cclen, &argc);
  if (argc == 0 && minus_opt == 0)
    minus_opt = 4;
  bool usageShown = false;
  std::string editor;
  ozu_optind = 0;
  ozu_opterr = 0;
  int c;
  while ((c = ozu_Getopt(argc, argv, "?e:lnrs", nullptr)) != -1) {
    switch (c) {
      case '?':
        if (!usageShown) {
          for (const char *line : histUsage)
            fprintf(listF, "%s\n", line);
          fflush(listF);
        }
        usageShown = true;
        break;
      case 'e':
        minus_opt |= 1;
        editor = ozu_optarg ? ozu_optarg : "";
        break;
      case 'l': minus_opt |= 4; break;
      case 'n': minus_opt |= 2; break;
      case 'r': minus_opt |= 8; break;
      case 's': minus_opt |= 16; break;
      default: break;
    }
  }
  // Event numbers and offsets that do not fit an int are refused.
  for (int k = ozu_optind; k < argc; ++k) {
    if (strchr(argv[k], '=') == nullptr && ozu_IntOverflows(argv[k])) {
      if (!usageShown) {
        for (const char *line : histUsage)
          fprintf(listF, "%s\n", line);
        fflush(listF);
      }
      ozu_FreeArgv(argv);
      return 0;
    }
  }
  if ((minus_opt & 16) && (minus_opt & 4)) {
    fprintf(errFile, "%s: Only one of -s or -l is allowed for the hist command\n", "commonHistory");
    ozu_FreeArgv(argv);
    return 0;
  }
  int numbers = (minus_opt & 2) ? 0 : 1;
  int reverse = (minus_opt & 8) ? 1 : 0;
  int i = ozu_optind;
  if (minus_opt & 16) {
    std::string oldS, newS;
    const char *prefix = nullptr;
    bool haveOld = false;
    if (i < argc && strchr(argv[i], '=') != nullptr) {
      char *eq = strchr(argv[i], '=');
      oldS.assign(argv[i], eq);
      newS = eq + 1;
      haveOld = true;
      ++i;
    }
    if (i < argc)
      prefix = argv[i];
    ozu_CmdHistRexec(prefix, haveOld ? oldS.c_str() : nullptr, haveOld ? newS.c_str() : nullptr);
  } else {
    if (!(minus_opt & 1))
      minus_opt |= 4;
    const char *first = i < argc ? argv[i] : nullptr;
    const char *last = i + 1 < argc ? argv[i + 1] : nullptr;
    if (minus_opt & 4)
      ozu_CmdPrintHistory(first, last, numbers, reverse);
    else
      fprintf(listF, "%s: sorry - history editing is deferred to a future implementation\n",
              "commonHistory");
  }
  ozu_FreeArgv(argv);
  return 0;
}

}  // namespace

int ozu_CmdEditorInit(const char *)
{
  const char *hs = getenv("OZU_HISTSIZE");
  if (hs != nullptr) {
    char *end = nullptr;
    long v = strtol(hs, &end, 10);
    if (end != hs && *end == '\0' && v >= 1 && v <= 2499)
      histSize = int(v);
  }
  histStruct = history_init();
  if (histStruct == nullptr) {
    fprintf(stderr, "*** %s: error initializing editline library\n", "ozu_CmdEditorInit");
    return -1;
  }
  history(histStruct, &historyEvent, H_SETSIZE, histSize);
  const char *hf = getenv("OZU_HISTFILE");
  if (hf != nullptr) {
    histFile = strdup(hf);
    if (histFile)
      history(histStruct, &historyEvent, H_LOAD, histFile);
  }
  lineStruct = el_init("ozu", stdin, listF, errFile);
  if (lineStruct == nullptr) {
    fprintf(stderr, "*** %s: error initializing editline library\n", "ozu_CmdEditorInit");
    history_end(histStruct);
    histStruct = nullptr;
    return -1;
  }
  el_set(lineStruct, EL_EDITOR, editorStyle ? editorStyle : "vi");
  el_set(lineStruct, EL_SIGNAL, 1);
  el_set(lineStruct, EL_PROMPT, prompt);
  el_set(lineStruct, EL_HIST, history, histStruct);
  el_source(lineStruct, nullptr);
  return 0;
}

void ozu_CmdSetPromptString(const char *theString) { PromptString = theString ? theString : ""; }

void ozu_CmdSetContinuation(int flag) { Continuation = flag; }

int ozu_CmdGetNextCommandString(char *buffer, int bufLen, int *eofReached)
{
  const char *line = nullptr;
  int count = 0;
  if (rexecCommand != nullptr) {
    line = rexecCommand;
    count = int(strlen(rexecCommand));
  } else if (lineStruct != nullptr) {
    line = el_gets(lineStruct, &count);
  }
  if (line != nullptr && count > 0) {
    snprintf(buffer, size_t(bufLen), "%s", line);
    if (histStruct)
      history(histStruct, &historyEvent, Continuation ? H_APPEND : H_ENTER, buffer);
  } else {
    buffer[0] = '\0';
  }
  *eofReached = count <= 0 ? 1 : 0;
  free(rexecCommand);
  rexecCommand = nullptr;
  return count;
}

void ozu_CmdSaveHistory(void)
{
  if (histFile != nullptr && histStruct != nullptr)
    history(histStruct, &historyEvent, H_SAVE, histFile);
}

void ozu_CmdHistRexec(const char *cmdPrefix, const char *oldStr, const char *newStr)
{
  if (histStruct == nullptr)
    return;
  HistEvent ev;
  if (history(histStruct, &ev, H_FIRST) < 0)
    return;
  const int newestNum = ev.num;
  std::string chosen;
  bool found = false;
  if (cmdPrefix == nullptr) {
    if (history(histStruct, &ev, H_NEXT) >= 0) {
      chosen = ev.str;
      found = true;
    }
  } else if (isdigit(static_cast<unsigned char>(cmdPrefix[0]))) {
    int num = atoi(cmdPrefix);
    if (num != newestNum && history(histStruct, &ev, H_SET, num) >= 0 &&
        history(histStruct, &ev, H_CURR) >= 0) {
      chosen = ev.str;
      found = true;
    }
  } else {
    // The newest earlier event that starts with the prefix.
    while (history(histStruct, &ev, H_NEXT) >= 0) {
      if (startsWith(ev.str, cmdPrefix)) {
        chosen = ev.str;
        found = true;
        break;
      }
    }
  }
  history(histStruct, &ev, H_FIRST);
  if (!found)
    return;
  if (oldStr != nullptr && oldStr[0] != '\0') {
    size_t at = chosen.find(oldStr);
    if (at != std::string::npos)
      chosen.replace(at, strlen(oldStr), newStr ? newStr : "");
  }
  free(rexecCommand);
  rexecCommand = strdup(chosen.c_str());
  fputs(chosen.c_str(), listF);
  fflush(listF);
}

void ozu_CmdPrintHistory(const char *firstString, const char *lastString, int printNumbers,
                         int reverseFlag)
{
  if (histStruct == nullptr)
    return;
  HistEvent ev;
  bool offsetMode = true;
  int offset = 16;
  int endNum = -1;
  if (firstString != nullptr) {
    if ((firstString[0] == '-' && isdigit(static_cast<unsigned char>(firstString[1]))) ||
        isdigit(static_cast<unsigned char>(firstString[0])))
      offset = abs(atoi(firstString));
    else
      offsetMode = false;
  }
  if (history(histStruct, &ev, H_GETSIZE) < 0 || ev.num <= 0)
    return;
  const int count = ev.num;
  if (history(histStruct, &ev, H_FIRST) < 0)
    return;
  const int newest = ev.num;
  if (offsetMode && lastString != nullptr) {
    const char *d = lastString[0] == '-' ? lastString + 1 : lastString;
    if (!isdigit(static_cast<unsigned char>(*d))) {
      fprintf(errFile, "bad ending offset: %s\n", lastString);
      return;
    }
    endNum = atoi(lastString);
    if (endNum < 0)
      endNum = newest + endNum;
  }
  if (offsetMode) {
    int start = newest - offset;
    if (start < newest - count + 1)
      start = newest - count + 1;
    if (start <= 0)
      start = 1;
    if (history(histStruct, &ev, H_SET, start) < 0) {
      if (debug >= 1)
        fprintf(listF, "Error %d trying to set hist event to %d. Last event=(%d,%s) Count=%d\n", -1,
                start, newest, "", count);
      return;
    }
  } else {
    bool found = false;
    int step = reverseFlag ? H_PREV : H_NEXT;
    if (reverseFlag)
      history(histStruct, &ev, H_LAST);
    do {
      if (history(histStruct, &ev, H_CURR) >= 0 && startsWith(ev.str, firstString)) {
        found = true;
        break;
      }
    } while (history(histStruct, &ev, step) >= 0);
    if (!found)
      return;
  }
  int step = reverseFlag ? H_NEXT : H_PREV;
  for (;;) {
    if (history(histStruct, &ev, H_CURR) < 0)
      break;
    if (printNumbers)
      fprintf(listF, "%4d ", ev.num);
    fputs(ev.str, listF);
    size_t n = strlen(ev.str);
    if (n == 0 || ev.str[n - 1] != '\n')
      fputc('\n', listF);
    if (offsetMode && endNum >= 0 && ev.num == endNum)
      break;
    if (!offsetMode && lastString != nullptr && startsWith(ev.str, lastString))
      break;
    if (history(histStruct, &ev, step) < 0)
      break;
  }
  fflush(listF);
  history(histStruct, &ev, H_LAST);
}

int ozu_HistoryCommand(char *cc, int cclen) { return commonHistory(cc, cclen, 0); }
int ozu_HistSCommand(char *cc, int cclen) { return commonHistory(cc, cclen, 16); }
