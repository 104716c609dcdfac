#include <string>

#include "app/run.h"

// The command tail is the arguments joined by single blanks, so that a caller can pass the whole
// tail as one argument.
int main(int argc, char** argv) {
  std::string commandTail;
  for (int index = 1; index < argc; ++index) {
    if (index > 1) {
      commandTail += ' ';
    }
    commandTail += argv[index];
  }
  return RunChildAndRelease(nullptr, nullptr, commandTail.c_str(), 0);
}
