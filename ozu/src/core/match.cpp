// Wildcard matching of one name against one pattern.
#include "ozu_match.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

ozu_match_descent_t ozu_matchDescent = nullptr;
ozu_match_error_t ozu_matchError = nullptr;
int globbed = 0;

namespace {

struct matchRun {
  const char *entp;  // the whole name, for the descent
  long steps;
  int depth;
};

thread_local matchRun *run = nullptr;

void reportError(const std::string &msg, int code)
{
  if (ozu_matchError != nullptr)
    ozu_matchError(msg.c_str(), code);
  else
    fprintf(stderr, "%s\n", msg.c_str());
}

void descend(const char *rest)
{
  if (ozu_matchDescent != nullptr && run != nullptr)
    ozu_matchDescent(run->entp, rest);
}

// The "]" closing the class that opens at p, or null. A backslash inside
// takes the next character as a member.
const char *classEnd(const char *p)
{
  for (const char *q = p + 1; *q != '\0'; ++q) {
    if (*q == '\\') {
      if (q[1] == '\0')
        return nullptr;
      ++q;
    } else if (*q == ']') {
      return q;
    }
  }
  return nullptr;
}

// Does the class between open ("[") and close ("]") hold c?
bool classHolds(const char *open, const char *close, unsigned char c)
{
  const char *q = open + 1;
  bool plainNext = false;
  if (*q == '-') {  // no member before it: skipped, next is plain
    ++q;
    plainNext = true;
  }
  while (q < close) {
    unsigned char m = static_cast<unsigned char>(*q);
    if (*q == '\\' && q + 1 < close) {
      m = static_cast<unsigned char>(q[1]);
      q += 2;
    } else {
      ++q;
    }
    if (!plainNext && *q == '-' && q + 1 < close) {
      const char *dp = q + 1;
      unsigned char d = static_cast<unsigned char>(*dp);
      if (*dp == '\\' && dp + 1 < close)
        d = static_cast<unsigned char>(*++dp);
      q = dp + 1;
      if (c >= m && c <= d)
        return true;
      if (c < m && c == d)
        return true;
      continue;
    }
    plainNext = false;
    if (c == m)
      return true;
  }
  return false;
}

int match1(const char *s, const char *p);

struct braceName {
  const char *s;
};

int tryAlternative(const char *alternative, void *ctx)
{
  return match1(static_cast<braceName *>(ctx)->s, alternative);
}

int match1(const char *s, const char *p)
{
  globbed = 1;
  if (++run->depth > OZU_MATCH_MAX_DEPTH) {
    --run->depth;
    return 0;
  }
  int result = 0;
  for (;;) {
    if (++run->steps > OZU_MATCH_MAX_STEPS)
      break;
    char c = *p;
    if (c == '{') {
      braceName bn{s};
      result = ozu_BraceExpand(p, tryAlternative, &bn) > 0 ? 1 : 0;
      break;
    }
    if (c == '\\') {
      if (p[1] == '\0' || p[1] != *s)
        break;
      p += 2;
      ++s;
      continue;
    }
    if (c == '[') {
      const char *close = classEnd(p);
      if (close == nullptr) {
        if (*s != '[')
          break;
        ++s;
        ++p;
        continue;
      }
      if (*s == '\0' || !classHolds(p, close, static_cast<unsigned char>(*s)))
        break;
      ++s;
      p = close + 1;
      continue;
    }
    if (c == '?') {
      if (*s == '\0')
        break;
      ++s;
      ++p;
      continue;
    }
    if (c == '*') {
      if (p[1] == '\0') {
        result = 1;
        break;
      }
      if (p[1] == '/') {
        descend(p + 2);
        break;
      }
      for (const char *t = s; *t != '\0'; ++t) {
        if (match1(t, p + 1) == 1) {
          result = 1;
          break;
        }
        if (run->steps > OZU_MATCH_MAX_STEPS)
          break;
      }
      break;
    }
    if (c == '/') {
      if (*s == '\0')
        descend(p + 1);
      break;
    }
    if (c == '\0') {
      result = *s == '\0' ? 1 : 0;
      break;
    }
    if (c != *s)
      break;
    ++s;
    ++p;
  }
  --run->depth;
  return result;
}

}  // namespace

int ozu_BraceExpand(const char *pattern, ozu_brace_func_t fn, void *ctx)
{
  const char *open = strchr(pattern, '{');
  if (open == nullptr)
    return fn(pattern, ctx);
  // The matching "}" and the commas of level 0, in one pass.
  const char *close = nullptr;
  std::vector<const char *> cuts;
  int level = 0;
  for (const char *q = open + 1; *q != '\0'; ++q) {
    if (*q == '\\') {
      if (q[1] == '\0')
        break;
      ++q;
    } else if (*q == '[') {
      const char *e = classEnd(q);
      if (e == nullptr) {
        reportError("*** Missing ]", 64);
        return 0;
      }
      q = e;
    } else if (*q == '{') {
      ++level;
    } else if (*q == '}') {
      if (level == 0) {
        close = q;
        break;
      }
      --level;
    } else if (*q == ',' && level == 0) {
      cuts.push_back(q);
    }
  }
  if (close == nullptr) {
    reportError(std::string("*** Error-missing }: ") + open, 64);
    return 0;
  }
  cuts.push_back(close);
  const char *from = open + 1;
  for (const char *to : cuts) {
    std::string candidate(pattern, open);
    candidate.append(from, to);
    candidate.append(close + 1);
    int r = fn(candidate.c_str(), ctx);
    if (r != 0)
      return r;
    from = to + 1;
  }
  return 0;
}

int match(const char *name, const char *pattern)
{
  if (name == nullptr || pattern == nullptr)
    return 0;
  if (pattern[0] != '.' && (strcmp(name, ".") == 0 || strcmp(name, "..") == 0))
    return 0;
  matchRun here{name, 0, 0};
  matchRun *outer = run;
  run = &here;
  int r = match1(name, pattern);
  run = outer;
  return r;
}
