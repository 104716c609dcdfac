// Prints the Linux store as any reader applies it: its canonical REGEDIT4 text.
#include <cstdio>
#include <string>

#include "platform/posix/store.h"

int main() {
  std::string text;
  const int result = StoreExport(&text);
  if (result != 0) {
    (void)std::fprintf(stderr, "the store cannot be read: error %d\n", result);
    return 1;
  }
  return std::fputs(text.c_str(), stdout) < 0 ? 1 : 0;
}
