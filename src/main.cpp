// skarvel: inspect, create, copy, clone and convert sparse disk images.
#include "cli/entry.h"
#include "platform/console_program.h"

int main(int argc, char** argv) {
  skarvel::platform::ConsoleProgram program(argc, argv);
  return skarvel::runCommandLine(program.argc(), program.argv());
}
