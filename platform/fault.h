#pragma once

// Test builds can make any platform call fail on its n-th use with a chosen code, against the
// real backend. Each backend call starts with OS_FAULT_POINT; the shipped program compiles it out.

enum class OsCall : int {
  RegOpenKey,
  RegQueryValue,
  RegSetStringValue,
  RegEnumKey,
  RegDeleteKey,
  RegCloseKey,
  OpenFileForSoleRead,
  GetFileAttributes,
  CloseFile,
  StartProcess,
  WaitForProcess,
  AcquireReleaseLock,
  FreeReleaseLock,
  Count,
};

// The injected code for this use of the call, or 0 to go on. Faults come from OsInjectFault or,
// on first use, from the environment: RUNRELEASE_FAULTS="RegDeleteKey:2:5,StartProcess:1:2"
// fails the second RegDeleteKey with 5 and the first StartProcess with 2. When the variable
// RUNRELEASE_FAULT_REACHED names a file, that file is created the first time a fault fires.
int OsFaultFor(OsCall call);

// Parses one "Name:nth:code" list; returns 0 on malformed text and injects nothing then.
int OsParseFaults(const char* text);
void OsInjectFault(OsCall call, int nth, int code);
void OsClearFaults();
const char* OsCallName(OsCall call);

// A macro, since a fault returns from the calling function.
#if defined(RUNRELEASE_FAULT_INJECTION)
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage)
#define OS_FAULT_POINT(call)                  \
  do {                                        \
    if (const int fault = OsFaultFor(call)) { \
      return fault;                           \
    }                                         \
  } while (false)
#else
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage)
#define OS_FAULT_POINT(call) \
  do {                       \
  } while (false)
#endif
