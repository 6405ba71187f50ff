// Shell-style glob matching of a whole string: host-stanza keys, interface
// names and the archiver's exclusion lists all go through this one matcher.
//
// quorcfgx_PatternMatch returns 1 when thePattern matches all of theString
// and 0 otherwise. Every malformed part met on the way (a set without ']',
// braces without '}', a trailing backslash) adds 1 to *patternError and does
// not match; the caller zeroes the count first. patternError may be null.
// A null string or pattern does not match and counts as one error.
//
// Matching is case-sensitive and reentrant. Work is bounded: a pattern whose
// matching would recurse deeper than QUOR_MATCH_MAX_DEPTH or take more than
// QUOR_MATCH_MAX_STEPS steps stops, does not match and counts one error.
#ifndef QUOR_MATCH_H
#define QUOR_MATCH_H

#include <stddef.h>

// A brace candidate (one alternative plus the rest of the pattern) must fit
// in this many bytes with its terminator; longer ones are skipped silently.
#define QUOR_MATCH_CANDIDATE_SIZE 1024
#define QUOR_MATCH_MAX_DEPTH 1000
#define QUOR_MATCH_MAX_STEPS (1L << 22)

int quorcfgx_PatternMatch(const char *theString, const char *thePattern, int *patternError);

#endif
