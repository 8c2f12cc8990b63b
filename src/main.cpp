// skarvel: inspect, create, copy, clone and convert sparse disk images.
#include "cli/entry.h"

int main(int argc, char** argv) { return skarvel::runCommandLine(argc, argv); }
