// The shell's entry point.
#include "ozu_startup.h"

int main(int argc, char **argv) { return ozu_main(argc, argv); }
