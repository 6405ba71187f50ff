// The archiver program.
#include <stdlib.h>

#include "brix.h"

int main(int argc, char** argv) { exit(brix_Main(argc, argv)); }
