#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix/arguments.h"
#include "platform/posix/store.h"

namespace {

constexpr int kGeneralFailure = 31;
constexpr int kFilenameTooLong = 206;
constexpr int kNotEnoughMemory = 8;
constexpr long kReleaseLockWaitMilliseconds = 5000;
constexpr long kReleaseLockPollMilliseconds = 10;

// Handles carry the descriptor or process id itself, as a Windows handle carries its value.
template <typename Handle>
Handle ToHandle(long value) {
  return reinterpret_cast<Handle>(static_cast<std::intptr_t>(value));
}

template <typename Handle>
long FromHandle(Handle handle) {
  return static_cast<long>(reinterpret_cast<std::intptr_t>(handle));
}

bool IsFolder(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Windows tells a missing file (2) from a missing folder on the way to it (3).
int MissingPathCode(const char* path) {
  const std::string text(path);
  const std::size_t slash = text.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
  return IsFolder(folder) ? kOsFileNotFound : kOsPathNotFound;
}

int FileErrorCode(int error, const char* path) {
  switch (error) {
    case ENOENT:
      return MissingPathCode(path);
    case ENOTDIR:
      return kOsPathNotFound;
    case EACCES:
    case EPERM:
      return kOsAccessDenied;
    case ENAMETOOLONG:
      return kFilenameTooLong;
    case ENOMEM:
      return kNotEnoughMemory;
    default:
      return kGeneralFailure;
  }
}

int SpawnErrorCode(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return kOsFileNotFound;
    case EACCES:
    case EPERM:
      return kOsAccessDenied;
    case ENOMEM:
      return kNotEnoughMemory;
    default:
      return kGeneralFailure;
  }
}

void SleepMilliseconds(long milliseconds) {
  timespec pause{0, milliseconds * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

int OsOpenFileForSoleRead(const char* path, OsFile* file) {
  OS_FAULT_POINT(OsCall::OpenFileForSoleRead);
  // Non-blocking, so that a FIFO does not stall the probe.
  const int descriptor = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (descriptor < 0) {
    return FileErrorCode(errno, path);
  }
  // A lock of either kind held by another process is this system's "in use".
  if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(descriptor);
    return error == EWOULDBLOCK ? kOsSharingViolation : kGeneralFailure;
  }
  *file = ToHandle<OsFile>(descriptor);
  return kOsSuccess;
}

int OsGetFileAttributes(const char* path, std::uint32_t* attributes) {
  *attributes = kOsInvalidAttributes;
  OS_FAULT_POINT(OsCall::GetFileAttributes);
  struct stat status {};
  if (stat(path, &status) != 0) {
    return FileErrorCode(errno, path);
  }
  *attributes = S_ISDIR(status.st_mode) ? kOsAttributeDirectory : kOsAttributeNormal;
  return kOsSuccess;
}

int OsCloseFile(OsFile file) {
  OS_FAULT_POINT(OsCall::CloseFile);
  return close(static_cast<int>(FromHandle(file))) == 0 ? kOsSuccess : kGeneralFailure;
}

int OsStartProcess(const char* commandLine, OsProcess* process) {
  OS_FAULT_POINT(OsCall::StartProcess);
  std::vector<std::string> arguments = SplitCommandLine(commandLine);
  if (arguments.empty()) {
    return kOsFileNotFound;
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) {
    return kNotEnoughMemory;
  }
  // The child's own session is this system's console of its own.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t child = 0;
  const int error = posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    return SpawnErrorCode(error);
  }
  *process = ToHandle<OsProcess>(child);
  return kOsSuccess;
}

int OsWaitForProcess(OsProcess process) {
  OS_FAULT_POINT(OsCall::WaitForProcess);
  int status = 0;
  while (waitpid(static_cast<pid_t>(FromHandle(process)), &status, 0) < 0) {
    if (errno != EINTR) {
      return kGeneralFailure;
    }
  }
  return kOsSuccess;
}

int OsAcquireReleaseLock(OsLock* lock) {
  OS_FAULT_POINT(OsCall::AcquireReleaseLock);
  const std::string store = StorePath();
  if (store.empty()) {
    return kOsPathNotFound;
  }
  const std::string path = store + ".release";
  const int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (descriptor < 0) {
    return FileErrorCode(errno, path.c_str());
  }
  for (long waited = 0; flock(descriptor, LOCK_EX | LOCK_NB) != 0; waited += kReleaseLockPollMilliseconds) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= kReleaseLockWaitMilliseconds) {
      const int error = errno;
      close(descriptor);
      return error == EWOULDBLOCK ? kOsWaitTimeout : kGeneralFailure;
    }
    SleepMilliseconds(kReleaseLockPollMilliseconds);
  }
  *lock = ToHandle<OsLock>(descriptor);
  return kOsSuccess;
}

int OsFreeReleaseLock(OsLock lock) {
  OS_FAULT_POINT(OsCall::FreeReleaseLock);
  return close(static_cast<int>(FromHandle(lock))) == 0 ? kOsSuccess : kGeneralFailure;
}
