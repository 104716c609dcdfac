#include <windows.h>

#include "app/commandline.h"
#include "app/run.h"

namespace {

int IsLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) ? 1 : 0; }

}  // namespace

// The system's entry, with the system's parameter names. The runtime's own lpCmdLine splits a
// quoted program name differently, so the tail is taken from the full command line by the
// program's rule instead.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR /*lpCmdLine*/, int nShowCmd) {
  const char* const tail = CommandTailFromCommandLine(GetCommandLineA(), IsLeadByte);
  return RunChildAndRelease(hInstance, hPrevInstance, tail, nShowCmd);
}
