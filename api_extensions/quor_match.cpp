// Glob matcher shared by the configuration readers and the archiver.
#include "quor_match.h"

#include <string.h>

#include <memory>
#include <new>

namespace {

struct matchRun {
  int *errors;
  long steps;
  bool exhausted;  // depth or step bound hit: unwind without trying more
};

void countError(matchRun &run)
{
  if (run.errors != nullptr)
    ++*run.errors;
}

// The ']' that ends the set opening at p, or null when the pattern ends
// first. A backslash cannot protect ']', so the first one always ends it.
const char *setEnd(const char *p)
{
  for (++p; *p != '\0'; ++p)
    if (*p == ']')
      return p;
  return nullptr;
}

// Tests c against the set opening at p. Returns 1 or 0 with *after past the
// ']', or -1 when the pattern ends inside the set.
int matchSet(const char *p, unsigned char c, const char **after)
{
  // A backslash is dropped and the next character taken as if it stood alone.
  auto next = [&p]() -> int {
    if (*p == '\\')
      ++p;
    if (*p == '\0')
      return -1;
    return static_cast<unsigned char>(*p++);
  };

  bool haveMember = false;
  int rangeStart = 0;  // the last single member: ranges keep starting there
  bool hit = false;
  ++p;
  for (;;) {
    int m = next();
    if (m < 0)
      return -1;
    if (m == ']') {
      *after = p;
      return hit ? 1 : 0;
    }
    if (m == '-') {
      if (!haveMember)
        continue;
      int hi = next();
      if (hi < 0)
        return -1;
      if (hi == ']') {  // a dangling '-' adds nothing
        *after = p;
        return hit ? 1 : 0;
      }
      if (rangeStart <= c && c <= hi)
        hit = true;
      continue;
    }
    rangeStart = m;
    haveMember = true;
    if (m == c)
      hit = true;
  }
}

// The '}' that closes the brace opening at p, skipping inner braces, sets
// and escaped characters; null when there is none.
const char *braceEnd(const char *p)
{
  int depth = 0;
  for (; *p != '\0'; ++p) {
    if (*p == '\\') {
      if (p[1] == '\0')
        return nullptr;
      ++p;
    } else if (*p == '[') {
      p = setEnd(p);
      if (p == nullptr)
        return nullptr;
    } else if (*p == '{') {
      ++depth;
    } else if (*p == '}' && --depth == 0) {
      return p;
    }
  }
  return nullptr;
}

int matchHere(matchRun &run, const char *s, const char *p, int depth);

// Tries each alternative of the brace at p, followed by the pattern after
// its '}', against s.
int matchBraces(matchRun &run, const char *s, const char *p, int depth)
{
  const char *close = braceEnd(p);
  if (close == nullptr) {
    countError(run);
    return 0;
  }
  const char *rest = close + 1;
  size_t restLen = strlen(rest);

  // On the heap: nested braces would otherwise stack a buffer per level.
  std::unique_ptr<char[]> cand(new (std::nothrow) char[QUOR_MATCH_CANDIDATE_SIZE]);
  if (!cand) {
    countError(run);
    return 0;
  }

  const char *alt = p + 1;
  int inner = 0;
  for (const char *q = alt;; ++q) {
    bool split = false;
    if (q == close) {
      split = true;
    } else if (*q == '\\') {
      ++q;  // braceEnd saw a character after it
      continue;
    } else if (*q == '[') {
      q = setEnd(q);  // braceEnd saw its ']'
      continue;
    } else if (*q == '{') {
      ++inner;
    } else if (*q == '}') {
      --inner;
    } else if (*q == ',' && inner == 0) {
      split = true;
    }
    if (!split)
      continue;

    size_t altLen = static_cast<size_t>(q - alt);
    if (altLen + restLen < QUOR_MATCH_CANDIDATE_SIZE) {
      memcpy(cand.get(), alt, altLen);
      memcpy(cand.get() + altLen, rest, restLen + 1);
      if (matchHere(run, s, cand.get(), depth + 1))
        return 1;
      if (run.exhausted)
        return 0;
    }
    if (q == close)
      return 0;
    alt = q + 1;
  }
}

int matchHere(matchRun &run, const char *s, const char *p, int depth)
{
  if (run.exhausted)
    return 0;
  if (depth > QUOR_MATCH_MAX_DEPTH || ++run.steps > QUOR_MATCH_MAX_STEPS) {
    run.exhausted = true;
    countError(run);
    return 0;
  }

  for (;;) {
    if (*p == '\0')
      return *s == '\0';
    if (*p == '*' && p[1] == '\0')
      return 1;
    if (*p == '\\' && p[1] == '\0') {
      countError(run);
      return 0;
    }
    if (*p == '[') {
      // Read even at the end of the string, so that a set without ']' is reported.
      const char *after = nullptr;
      int r = matchSet(p, static_cast<unsigned char>(*s), &after);
      if (r < 0) {
        countError(run);
        return 0;
      }
      if (r == 0 || *s == '\0')
        return 0;
      p = after;
      ++s;
      continue;
    }
    // Nothing else matches the end of the string; braces are not expanded there.
    if (*s == '\0')
      return 0;

    switch (*p) {
    case '*':
      for (const char *t = s; *t != '\0'; ++t) {
        if (matchHere(run, t, p + 1, depth + 1))
          return 1;
        if (run.exhausted)
          return 0;
      }
      return 0;
    case '?':
      break;
    case '\\':
      ++p;
      if (*p != *s)
        return 0;
      break;
    case '{':
      return matchBraces(run, s, p, depth);
    default:
      if (*p != *s)
        return 0;
      break;
    }
    ++p;
    ++s;
  }
}

}  // namespace

int quorcfgx_PatternMatch(const char *theString, const char *thePattern, int *patternError)
{
  matchRun run{patternError, 0, false};
  if (theString == nullptr || thePattern == nullptr) {
    countError(run);
    return 0;
  }
  return matchHere(run, theString, thePattern, 0);
}
