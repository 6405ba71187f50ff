// Start-up of the shell (grows with the shell).
#include <stdio.h>

int ozu_main(int argc, char **argv)
{
  (void)argc;
  (void)argv;
  fprintf(stderr, "ozu: not built yet\n");
  return 70;
}
