// Annotations: the annotate command and the escape expansion and comment
// setting that mkdir and the store commands share.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "ns_commands.h"
#include "ozu_cmdframe.h"
#include "ozu_drive.h"
#include "ozu_errors.h"
#include "ozu_getopt.h"
#include "ozu_glob.h"
#include "ozu_log.h"
#include "ozuvars.h"
#include "quor_api.h"

// The Comment bit of the attribute selection.
#define OZU_SEL_COMMENT 0x0400000000000000ULL

char comment[256];
char expandedComment[256];

namespace {

int annotateOpts = 0;
enum { AN_d = 1, AN_f = 2, AN_R = 4 };

void annotateUsage()
{
  fprintf(listF, "Usage: anno[tate]  [-R] [-e] [-d] [-f] [-A \"string\"] path ...\n");
  fprintf(listF, "  -A  the annotation (at most 255 characters; escapes such as \\t expand)\n");
  fprintf(listF, "  -e  erase the annotation\n");
  fprintf(listF, "  -d  annotate directories only\n");
  fprintf(listF, "  -f  annotate files and hard links only\n");
  fprintf(listF, "  -R  descend directories\n");
}

void annotateOne(const char *path)
{
  ozu_ExpandAnnotationString(comment, path, expandedComment, 255);
  ozu_AnnotateObject(path, expandedComment);
}

int annotateEntCallback(ns_DirEntry_t *ent, int, const char *, const char *fullPath)
{
  uint32_t type = ent->Attrs.Type;
  if (((type == 129 || type == 131) && !(annotateOpts & AN_d)) ||
      (type == 132 && !(annotateOpts & AN_f)))
    annotateOne(fullPath);
  return 0;
}

}  // namespace

void ozu_SetCommentAttr(quor_fileattr_t *attr, quor_fileattrbits_t *mask, const char *text)
{
  size_t n = strnlen(text, QUOR_COMMENT_LEN - 2);
  memcpy(attr->Attrs.Comment, text, n);
  attr->Attrs.Comment[n] = '\0';
  *mask |= OZU_SEL_COMMENT;
}

int ozu_ExpandAnnotationString(const char *source, const char *, char *sink, int sinkSize)
{
  memset(sink, 0, size_t(sinkSize));
  int out = 0;
  const char *s = source;
  while (*s && out < sinkSize - 1) {
    if (*s != '\\') {
      sink[out++] = *s++;
      continue;
    }
    if (s[1] == '\0') {
      sink[sinkSize - 1] = '\0';
      return -1;
    }
    static const char from[] = "\"'?\\afnrtv";
    static const char to[] = "\"'?\\\a\f\n\r\t\v";
    const char *hit = strchr(from, s[1]);
    if (hit) {
      sink[out++] = to[hit - from];
      s += 2;
    } else {
      sink[out++] = '\\';
      ++s;
    }
  }
  sink[sinkSize - 1] = '\0';
  return 0;
}

int ozu_AnnotateObject(const char *path, const char *text)
{
  if (debug >= 2) {
    fprintf(listF, "/debug/setting annotation string for %s\n", path);
    fprintf(listF, "[%s]\n", text);
  }
  quor_fileattr_t attr, out;
  memset(&attr, 0, sizeof attr);
  quor_fileattrbits_t mask = 0;
  ozu_SetCommentAttr(&attr, &mask, text);
  int rc = ozu_EioRetry([&] { return quor_FileSetAttributes(path, mask, &attr, &out); });
  if (rc < 0) {
    setExitResult(70, quor_perror(rc, "setting nameserver attributes", path, nullptr), 7);
    return -1;
  }
  return 0;
}

int ozu_AnnotateCommand(char *cc, int cclen)
{
  static bool annotatedThisSession = false;
  ozu_cmd_t cmd(cc, cclen);
  if (cmd.argc == 0) {
    annotateUsage();
    return 1;
  }
  annotateOpts = 0;
  bool erase = false, textGiven = false;
  std::string text;
  for (int c; (c = ozu_CmdOption(&cmd, "A:edfR", nullptr)) != OZU_OPT_END;) {
    switch (c) {
    case 'A':
      text.assign(ozu_optarg, strnlen(ozu_optarg, 255));
      textGiven = true;
      if (text.empty()) {
        if (debug >= 2)
          fprintf(listF, "/debug/empty comment string - setting <erase> flag\n");
        erase = true;
        textGiven = false;
      }
      break;
    case 'e': erase = true; break;
    case 'd': annotateOpts |= AN_d; break;
    case 'f': annotateOpts |= AN_f; break;
    case 'R': annotateOpts |= AN_R; break;
    default:
      fprintf(stderr, "Unknown option or missing argument: '%c' ignored\n",
              c == '?' || c == ':' ? ozu_optopt : c);
      break;
    }
  }
  if ((annotateOpts & AN_d) && (annotateOpts & AN_f)) {
    setExitResult(64, "Cannot specify both -d and -f options", 7);
    return 1;
  }
  if (erase && textGiven) {
    setExitResult(64, "Cannot specify both -A and -e options", 7);
    return 1;
  }
  // With neither -A nor -e the previous annotation is reused; before any
  // there is nothing to reuse, and erasing by accident is worse than asking.
  if (!erase && !textGiven && !annotatedThisSession) {
    setExitResult(64, "*** annotate: no annotation given (use -A \"string\" or -e)", 7);
    return 1;
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0)
    return 1;
  char *word = ozu_CmdNextName(&cmd);
  if (word == nullptr) {
    missingObjectsMsg();
    return 1;
  }
  if (erase)
    comment[0] = '\0';
  else if (textGiven)
    snprintf(comment, sizeof comment, "%s", text.c_str());
  annotatedThisSession = true;
  std::vector<std::string> dirs;
  ozu_each_t how;
  how.match = [&](const globstruct_t &g) {
    if (g.dir) {
      dirs.push_back(g.name);
      if (!(annotateOpts & AN_f))
        annotateOne(g.name);
    } else if (!(annotateOpts & AN_d)) {
      annotateOne(g.name);
    }
  };
  how.done = [&] {
    if (annotateOpts & AN_R) {
      cmd.recurse = 1;
      for (const std::string &d : dirs)
        if (!interrupted)
          ozu_CmdWalk(&cmd, d.c_str(), annotateEntCallback, nullptr, nullptr);
    }
    dirs.clear();
  };
  ozu_CmdEachMatch(&cmd, word, how);
  return 1;
}
