// Wildcard match of one name, as the shell's expansion and name tests use it.
//
// match(name, pattern) returns 1 when name matches pattern and 0 otherwise.
// Star, question mark, bracket classes with ranges, brace alternatives and
// backslash escapes are understood. "." and ".." only match a pattern that
// begins with "."; other names beginning with "." match like any name.
// A "/" in the pattern ends the name: what follows is handed to the descent
// hook (path expansion sets one) and the match itself gives 0.
// Work is bounded: a match that would take more than OZU_MATCH_MAX_STEPS
// steps or nest deeper than OZU_MATCH_MAX_DEPTH does not match.
#ifndef OZU_MATCH_H
#define OZU_MATCH_H

#define OZU_MATCH_MAX_STEPS (1L << 22)
#define OZU_MATCH_MAX_DEPTH 200

int match(const char *name, const char *pattern);

// Brace alternatives: for the first "{...}" of pattern, calls fn with the
// text before it, one alternative and the text after the "}", in the order
// written (commas split only at nesting level 0, outside classes and after
// no backslash). Stops at the first call that returns nonzero and returns
// that value; 0 when none did. An unclosed class or brace is reported
// through ozu_matchError with code 64 and gives 0.
typedef int (*ozu_brace_func_t)(const char *alternative, void *ctx);
int ozu_BraceExpand(const char *pattern, ozu_brace_func_t fn, void *ctx);

// Hooks the program sets. Descent: the whole name just matched and the
// pattern after the "/" (empty when nothing follows). Error: a message
// without newline and its exit code; unset, it goes to standard error.
typedef void (*ozu_match_descent_t)(const char *entryName, const char *restPattern);
typedef void (*ozu_match_error_t)(const char *message, int exitCode);
extern ozu_match_descent_t ozu_matchDescent;
extern ozu_match_error_t ozu_matchError;

// Set to 1 whenever a name has been matched against a pattern.
extern int globbed;

#endif
