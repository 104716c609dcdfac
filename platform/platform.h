#pragma once

#include <cstdint>

// The operating-system services a run uses, one function per call. Every backend defines all of
// them, in this order, and answers with the Windows error codes below, so the core reads the same
// on every system.

enum : int {
  kOsSuccess = 0,
  kOsFileNotFound = 2,
  kOsPathNotFound = 3,
  kOsAccessDenied = 5,
  kOsSharingViolation = 32,
  kOsInvalidParameter = 87,
  kOsBadPathname = 161,
  kOsMoreData = 234,
  kOsWaitTimeout = 258,
  kOsNoMoreItems = 259,
  kOsBadDatabase = 1009,
  kOsKeyDeleted = 1018,
};

constexpr std::uint32_t kOsAttributeDirectory = 0x10;
constexpr std::uint32_t kOsAttributeNormal = 0x80;
constexpr std::uint32_t kOsInvalidAttributes = 0xFFFFFFFF;

struct OsKeyObject;
struct OsFileObject;
struct OsProcessObject;
struct OsLockObject;
using OsKey = OsKeyObject*;
using OsFile = OsFileObject*;
using OsProcess = OsProcessObject*;
using OsLock = OsLockObject*;

// HKEY_LOCAL_MACHINE.
OsKey OsLocalMachine();

// Registry. Keys open with full access and options 0. Value data is measured in bytes; name
// lengths are in characters without the NUL, and go in as the buffer's capacity.
int OsRegOpenKey(OsKey parent, const char* path, OsKey* key);
int OsRegQueryValue(OsKey key, const char* name, unsigned char* data, std::uint32_t* size);
int OsRegSetStringValue(OsKey key, const char* name, const char* text, std::uint32_t size);
int OsRegEnumKey(OsKey key, std::uint32_t index, char* name, std::uint32_t* length);
int OsRegDeleteKey(OsKey parent, const char* path);
int OsRegCloseKey(OsKey key);

// Files. The open is for reading, shared with nobody, existing files only; the attributes are
// kOsInvalidAttributes whenever the call fails.
int OsOpenFileForSoleRead(const char* path, OsFile* file);
int OsGetFileAttributes(const char* path, std::uint32_t* attributes);
int OsCloseFile(OsFile file);

// Processes. The command line is searched and split by the Windows rules, the child gets a
// console (session) of its own, the caller's environment and directory; the wait has no limit.
int OsStartProcess(const char* commandLine, OsProcess* process);
int OsWaitForProcess(OsProcess process);

// One lock shared by every run on the machine, so that releases never interleave. The wait for
// it is bounded: kOsWaitTimeout when another run kept it too long.
int OsAcquireReleaseLock(OsLock* lock);
int OsFreeReleaseLock(OsLock lock);
