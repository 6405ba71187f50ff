// Mode clauses of chmod: parsed once per command, applied per object.
#ifndef OZU_NS_MODES_H
#define OZU_NS_MODES_H

typedef enum CHMOD_TYPE { ABSOLUTE = 0, SYMBOLIC = 1 } CHMOD_TYPE;

typedef struct chmodOp {
  struct chmodOp *next;
  CHMOD_TYPE ch_type;
  int ch_value;    // octal clause, low 12 bits
  char ch_op;      // '=' for an octal clause, else '+', '-' or '='
  char ch_who[8];  // "ugo" when the clause names no one or holds 'a'
  char ch_perms[32];
} chmodOp;

extern chmodOp *chmodHead;

// Appends one clause (the text between commas): 0, or -1 when it is
// malformed ("*** Not an octal string: %s\n" on errFile for a bad octal
// clause).
int parseChmodOption(const char *clause);
void releaseChmodOps(void);

// The mode the clause list gives an object. current is read (once, and
// only when a symbolic clause comes before any octal one) through
// readCurrent, which returns 0 with *mode or a negative result that ends
// the application. isDir feeds X. 0 with *result, or readCurrent's failure.
int ozu_ApplyModeClauses(const chmodOp *head, int isDir, int (*readCurrent)(void *arg, int *mode),
                         void *arg, int *result);

#endif
