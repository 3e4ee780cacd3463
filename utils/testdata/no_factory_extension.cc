// A shared library that loads but exports no extension factory.
extern "C" __attribute__((visibility("default"))) int ZelNotTheFactory() { return 0; }
