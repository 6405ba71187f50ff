// The shell's entry point.
int ozu_main(int argc, char **argv);

int main(int argc, char **argv) { return ozu_main(argc, argv); }
