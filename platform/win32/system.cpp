#include <windows.h>

#include <cstring>

#include "platform/fault.h"
#include "platform/platform.h"

namespace {

// Shared by every session on the machine, so runs in different logons still take turns.
constexpr const char* kReleaseLockName = "Global\\RunReleaseSharedKey";
constexpr DWORD kReleaseLockWaitMs = 5000;

// The child's thread handle stays open until the child has ended, like its process handle.
HANDLE childThread = nullptr;

int LastError() { return static_cast<int>(GetLastError()); }

HANDLE ToHandle(void* object) { return static_cast<HANDLE>(object); }

}  // namespace

int OsOpenFileForSoleRead(const char* path, OsFile* file) {
  OS_FAULT_POINT(OsCall::OpenFileForSoleRead);
  const HANDLE handle = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  *file = reinterpret_cast<OsFile>(handle);
  return 0;
}

int OsGetFileAttributes(const char* path, std::uint32_t* attributes) {
  *attributes = kOsInvalidAttributes;
  OS_FAULT_POINT(OsCall::GetFileAttributes);
  const DWORD found = GetFileAttributesA(path);
  *attributes = found;
  return found == INVALID_FILE_ATTRIBUTES ? LastError() : 0;
}

int OsCloseFile(OsFile file) {
  OS_FAULT_POINT(OsCall::CloseFile);
  return CloseHandle(reinterpret_cast<HANDLE>(file)) ? 0 : LastError();
}

int OsStartProcess(const char* commandLine, OsProcess* process) {
  OS_FAULT_POINT(OsCall::StartProcess);
  static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOA) == 68, "32-bit STARTUPINFOA layout");
  // CreateProcessA may write into the line it is given, so it gets a copy of the whole line.
  const std::size_t size = std::strlen(commandLine) + 1;
  char* const line = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size));
  if (line == nullptr) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  std::memcpy(line, commandLine, size);
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started;
  std::memset(&started, 0, sizeof(started));
  const BOOL created =
      CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &started);
  const int result = created ? 0 : LastError();
  HeapFree(GetProcessHeap(), 0, line);
  if (created) {
    childThread = started.hThread;
    *process = static_cast<OsProcess>(static_cast<void*>(started.hProcess));
  }
  return result;
}

int OsWaitForProcess(OsProcess process) {
  OS_FAULT_POINT(OsCall::WaitForProcess);
  const HANDLE handle = ToHandle(process);
  if (WaitForSingleObject(handle, INFINITE) != WAIT_OBJECT_0) {
    return LastError();
  }
  if (childThread != nullptr) {
    CloseHandle(childThread);
    childThread = nullptr;
  }
  CloseHandle(handle);
  return 0;
}

int OsAcquireReleaseLock(OsLock* lock) {
  OS_FAULT_POINT(OsCall::AcquireReleaseLock);
  const HANDLE mutex = CreateMutexA(nullptr, FALSE, kReleaseLockName);
  if (mutex == nullptr) {
    return LastError();
  }
  const DWORD waited = WaitForSingleObject(mutex, kReleaseLockWaitMs);
  // An abandoned lock belonged to a run that died; the key it guarded is read afresh anyway.
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    *lock = static_cast<OsLock>(static_cast<void*>(mutex));
    return 0;
  }
  const int result = waited == WAIT_TIMEOUT ? kOsWaitTimeout : LastError();
  CloseHandle(mutex);
  return result;
}

int OsFreeReleaseLock(OsLock lock) {
  OS_FAULT_POINT(OsCall::FreeReleaseLock);
  const HANDLE mutex = ToHandle(lock);
  const int result = ReleaseMutex(mutex) ? 0 : LastError();
  CloseHandle(mutex);
  return result;
}
