#include "platform/fault.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kCallCount = static_cast<int>(OsCall::Count);
constexpr int kMaxFaults = 16;

const char* const kCallNames[kCallCount] = {
    "RegOpenKey",     "RegQueryValue",       "RegSetStringValue", "RegEnumKey", "RegDeleteKey",
    "RegCloseKey",    "OpenFileForSoleRead", "GetFileAttributes", "CloseFile",  "StartProcess",
    "WaitForProcess", "AcquireReleaseLock",  "FreeReleaseLock",
};

struct Fault {
  OsCall call;
  int nth;
  int code;
};

Fault faults[kMaxFaults];
int faultCount = 0;
int uses[kCallCount] = {};
bool environmentRead = false;

void ReadEnvironment() {
  environmentRead = true;
  if (const char* text = std::getenv("RUNRELEASE_FAULTS")) {
    OsParseFaults(text);
  }
}

void NoteFaultReached() {
  static bool noted = false;
  const char* path = std::getenv("RUNRELEASE_FAULT_REACHED");
  if (noted || path == nullptr) {
    return;
  }
  noted = true;
  if (std::FILE* file = std::fopen(path, "w")) {
    (void)std::fclose(file);
  }
}

bool CallFromName(const char* name, std::size_t length, OsCall* call) {
  for (int index = 0; index < kCallCount; ++index) {
    if (std::strlen(kCallNames[index]) == length && std::strncmp(kCallNames[index], name, length) == 0) {
      *call = static_cast<OsCall>(index);
      return true;
    }
  }
  return false;
}

bool ParsePositive(const char** cursor, int* value) {
  char* end = nullptr;
  const long parsed = std::strtol(*cursor, &end, 10);
  if (end == *cursor || parsed < 1 || parsed > 1000000) {
    return false;
  }
  *value = static_cast<int>(parsed);
  *cursor = end;
  return true;
}

}  // namespace

int OsFaultFor(OsCall call) {
  if (!environmentRead) {
    ReadEnvironment();
  }
  const int use = ++uses[static_cast<int>(call)];
  for (int index = 0; index < faultCount; ++index) {
    if (faults[index].call == call && faults[index].nth == use) {
      NoteFaultReached();
      return faults[index].code;
    }
  }
  return 0;
}

int OsParseFaults(const char* text) {
  Fault parsed[kMaxFaults];
  int count = 0;
  const char* cursor = text;
  while (*cursor != '\0') {
    const char* colon = std::strchr(cursor, ':');
    Fault fault{};
    if (colon == nullptr || count == kMaxFaults ||
        !CallFromName(cursor, static_cast<std::size_t>(colon - cursor), &fault.call)) {
      return 0;
    }
    cursor = colon + 1;
    if (!ParsePositive(&cursor, &fault.nth) || *cursor++ != ':' || !ParsePositive(&cursor, &fault.code)) {
      return 0;
    }
    parsed[count++] = fault;
    if (*cursor == ',') {
      ++cursor;
    } else if (*cursor != '\0') {
      return 0;
    }
  }
  for (int index = 0; index < count; ++index) {
    OsInjectFault(parsed[index].call, parsed[index].nth, parsed[index].code);
  }
  return 1;
}

void OsInjectFault(OsCall call, int nth, int code) {
  environmentRead = true;
  if (faultCount < kMaxFaults) {
    faults[faultCount++] = Fault{call, nth, code};
  }
}

void OsClearFaults() {
  environmentRead = true;
  faultCount = 0;
  for (int& count : uses) {
    count = 0;
  }
}

const char* OsCallName(OsCall call) { return kCallNames[static_cast<int>(call)]; }
