#include <windows.h>

#include "app/commandline.h"
#include "app/run.h"

namespace {

int IsLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) ? 1 : 0; }

}  // namespace

// The runtime's own lpCmdLine splits a quoted program name differently, so the tail is taken
// from the full command line by the program's rule.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR, int showState) {
  const char* const tail = CommandTailFromCommandLine(GetCommandLineA(), IsLeadByte);
  return RunChildAndRelease(instance, previousInstance, tail, showState);
}
