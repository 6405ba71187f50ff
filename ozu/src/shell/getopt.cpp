// The handlers' option scanner.
#include "ozu_getopt.h"

#include <string.h>

int ozu_optind = 0;
char *ozu_optarg = nullptr;
int ozu_opterr = 0;
int ozu_optopt = 0;
int ozu_opttype = 0;

namespace {

int saveOptind = -1;
const char *const *saveKwOpts = nullptr;
char *const *saveArgv = nullptr;
char *optionPtr = nullptr;  // next letter of the open group, or null

// Only a letter of FlagOpts counts; ':' is a marker, not a letter.
const char *findLetter(const char *FlagOpts, int c)
{
  if (FlagOpts == nullptr || c == ':' || c == '\0')
    return nullptr;
  return strchr(FlagOpts, c);
}

}  // namespace

// Forgets an open letter group, so that a scan over a new vector never
// continues inside an old one.
void ozu_GetoptReset(void)
{
  optionPtr = nullptr;
  saveOptind = -1;
  saveArgv = nullptr;
}

int ozu_Getopt(int Argc, char **Argv, const char *FlagOpts, const char *const *KeywordOpts)
{
  ozu_opterr = -1;
  int result = -1;
  auto done = [&](int r) {
    saveOptind = ozu_optind;
    saveKwOpts = KeywordOpts;
    saveArgv = Argv;
    return r;
  };
  if (ozu_optind < 0 || ozu_optind >= Argc || Argv == nullptr) {
    ozu_opterr = 0;
    optionPtr = nullptr;
    return done(-1);
  }
  char *w = Argv[ozu_optind];
  if (w == nullptr || w[0] != '-' || w[1] == '\0') {
    ozu_opterr = 0;
    optionPtr = nullptr;
    return done(-1);
  }
  if (strcmp(w, "--") == 0) {
    ++ozu_optind;
    ozu_opterr = 0;
    optionPtr = nullptr;
    return done(-1);
  }
  bool groupOpen = optionPtr != nullptr && ozu_optind == saveOptind && KeywordOpts == saveKwOpts &&
                   Argv == saveArgv && optionPtr > w && optionPtr < w + strlen(w);
  if (!groupOpen) {
    optionPtr = nullptr;
    char *a = w + 1;
    if (KeywordOpts != nullptr && strlen(a) > 1) {
      for (int i = 0; KeywordOpts[i] != nullptr; ++i) {
        const char *k = KeywordOpts[i];
        size_t klen = strlen(k);
        bool takesArg = klen > 0 && k[klen - 1] == ':';
        if (takesArg)
          --klen;
        if (klen == 0 || strncmp(a, k, klen) != 0)
          continue;
        ++ozu_optind;
        ozu_opttype = 1;
        ozu_optopt = i;
        if (takesArg)
          ozu_optarg = ozu_optind < Argc ? Argv[ozu_optind++] : nullptr;
        return done(i);
      }
      bool known = FlagOpts != nullptr;
      for (const char *c = a; known && *c; ++c)
        if (!(*c == ':' ? strchr(FlagOpts, ':') != nullptr : findLetter(FlagOpts, *c) != nullptr))
          known = false;
      if (!known) {
        ++ozu_optind;
        ozu_opterr = -1;
        ozu_opttype = 1;
        return done(-1);
      }
    }
    optionPtr = a;
  }
  int c = static_cast<unsigned char>(*optionPtr++);
  ozu_optopt = c;
  ozu_opttype = 2;
  const char *pos = findLetter(FlagOpts, c);
  if (pos != nullptr && pos[1] == ':') {
    ++ozu_optind;
    result = c;
    if (*optionPtr != '\0') {
      ozu_optarg = optionPtr;
    } else if (ozu_optind < Argc) {
      ozu_optarg = Argv[ozu_optind++];
    } else {
      ozu_optarg = nullptr;
      result = FlagOpts[0] == ':' ? ':' : '?';
    }
    optionPtr = nullptr;
  } else {
    result = pos != nullptr ? c : '?';
    if (*optionPtr == '\0') {
      ++ozu_optind;
      optionPtr = nullptr;
    }
  }
  ozu_opterr = 0;
  return done(result);
}
