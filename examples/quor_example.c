/* A first program with the client library, in C: it logs in to the gateway,
 * makes a directory, lists it and prints its attributes.
 *
 *   QUOR_SERVER_HOST=HOST[/PORT] quor_example_c DIRECTORY [USER]
 *
 * The library starts on the first call: it connects to the gateway that
 * QUOR_SERVER_HOST names and logs in. USER, when given, is stored as the
 * log-in name (quor_SetCombo); the password then comes from ~/.netrc (with
 * QUOR_USE_NETRC_FILE set) or from a prompt on the terminal. README.md,
 * "Using the library", lists the other ways to log in.
 *
 * Every call returns 0 (or a count or descriptor) on success and a negative
 * code on failure: a negated errno value or one of the service's own codes.
 */
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>

#include "quor_api.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s DIRECTORY [USER]\n", argv[0]);
    return 2;
  }
  const char* dir = argv[1];
  if (argc == 3 && quor_SetCombo(argv[2], NULL) < 0) {
    fprintf(stderr, "quor_SetCombo: out of memory\n");
    return 1;
  }

  /* The first call connects and logs in. */
  char cwd[1025];
  int rc = quor_Getcwd(cwd, sizeof cwd);
  if (rc < 0) {
    fprintf(stderr, "log-in failed: %d\n", rc);
    return 1;
  }
  printf("logged in; working directory %s\n", cwd);

  rc = quor_Mkdir(dir, 0755);
  if (rc == -EEXIST) {
    printf("%s is there already\n", dir);
  } else if (rc < 0) {
    fprintf(stderr, "quor_Mkdir %s: %d\n", dir, rc);
    return 1;
  } else {
    printf("made %s\n", dir);
  }

  int dirdes = quor_Opendir(dir);
  if (dirdes < 0) {
    fprintf(stderr, "quor_Opendir %s: %d\n", dir, dirdes);
    return 1;
  }
  printf("%s holds:\n", dir);
  quor_dirent_t entry;
  /* An empty name marks the end of the directory. */
  while ((rc = quor_Readdir(dirdes, &entry)) == 0 && entry.d_name[0] != '\0')
    printf("  %s\n", entry.d_name);
  quor_Closedir(dirdes);
  if (rc < 0) {
    fprintf(stderr, "quor_Readdir %s: %d\n", dir, rc);
    return 1;
  }

  quor_stat_t st;
  rc = quor_Stat(dir, &st);
  if (rc < 0) {
    fprintf(stderr, "quor_Stat %s: %d\n", dir, rc);
    return 1;
  }
  printf("%s: %s, mode %o, owner %u, group %u, %u links\n", dir,
         S_ISDIR(st.st_mode) ? "directory" : "not a directory", (unsigned)(st.st_mode & 07777),
         (unsigned)st.st_uid, (unsigned)st.st_gid, (unsigned)st.st_nlink);

  quorex_CloseAllConnections();
  return 0;
}
