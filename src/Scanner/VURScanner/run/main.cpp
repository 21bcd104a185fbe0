// VURScanner: prints the file version of every program on the machine's
// fixed drives. Takes no arguments; its settings live in the registry.
#include "run/scanner.h"

int main(int /*argc*/, char** /*argv*/) {
  vur::Scanner scanner;
  scanner.Run();
  return 0;
}
