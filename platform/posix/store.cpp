#include "platform/posix/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <utility>

#include "platform/platform.h"

namespace {

// A file replaced this many times while one read was under way is given up on.
constexpr int kReadAttempts = 16;

struct Cache {
  std::string path;
  bool loaded = false;
  bool exists = false;
  bool valid = true;
  struct stat state {};
  // Held open so that the cached file's inode cannot be reused by a later file.
  int fd = -1;
  RegKey root;
};

Cache cache;
std::mutex cacheMutex;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&&) = delete;
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

int ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return kOsFileNotFound;
    case ENOTDIR:
      return kOsPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kOsAccessDenied;
    case ENOMEM:
      return kOsOutOfMemory;
    default:
      return kOsRegistryIoFailed;
  }
}

bool SameFile(const struct stat& left, const struct stat& right) {
  return left.st_dev == right.st_dev && left.st_ino == right.st_ino && left.st_size == right.st_size &&
         left.st_mtim.tv_sec == right.st_mtim.tv_sec && left.st_mtim.tv_nsec == right.st_mtim.tv_nsec &&
         left.st_ctim.tv_sec == right.st_ctim.tv_sec && left.st_ctim.tv_nsec == right.st_ctim.tv_nsec;
}

std::string Directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

void Drop() {
  if (cache.fd >= 0) {
    close(cache.fd);
  }
  cache.fd = -1;
  cache.loaded = false;
  cache.root = RegKey();
}

void Keep(int fd, const struct stat& state, bool valid, RegKey root) {
  Drop();
  cache.fd = fd;
  cache.state = state;
  cache.exists = fd >= 0;
  cache.valid = valid;
  cache.root = std::move(root);
  cache.loaded = true;
}

int ReadAll(int fd, std::size_t size, std::string* text) {
  text->resize(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, &(*text)[done], size - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return ErrorFromErrno(errno);
    }
    if (got == 0) {
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  text->resize(done);
  return kOsSuccess;
}

int Status() { return cache.valid ? kOsSuccess : kOsBadDatabase; }

// Makes the cache hold the store as it is now.
int Refresh() {
  const std::string path = StorePath();
  if (path.empty()) {
    return kOsPathNotFound;
  }
  if (cache.path != path) {
    Drop();
    cache.path = path;
  }
  struct stat now {};
  if (cache.loaded && cache.exists && stat(path.c_str(), &now) == 0 && SameFile(now, cache.state)) {
    return Status();
  }
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
      if (errno != ENOENT && errno != ENOTDIR) {
        return ErrorFromErrno(errno);
      }
      if (!cache.loaded || cache.exists) {
        Keep(-1, {}, true, RegKey());
      }
      return kOsSuccess;
    }
    struct stat before {};
    struct stat after {};
    if (fstat(file.get(), &before) != 0) {
      return ErrorFromErrno(errno);
    }
    if (cache.loaded && cache.exists && SameFile(before, cache.state)) {
      return Status();
    }
    std::string text;
    if (const int result = ReadAll(file.get(), static_cast<std::size_t>(before.st_size), &text)) {
      return result;
    }
    if (fstat(file.get(), &after) != 0) {
      return ErrorFromErrno(errno);
    }
    if (!SameFile(before, after) || text.size() != static_cast<std::size_t>(before.st_size)) {
      continue;
    }
    RegKey root;
    const bool valid = ApplyRegistryText(text, &root);
    Keep(file.release(), before, valid, valid ? std::move(root) : RegKey());
    return Status();
  }
  return kOsRegistryIoFailed;
}

int SyncDirectory(const std::string& directory) {
  FileDescriptor folder(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0 || fsync(folder.get()) != 0) {
    return ErrorFromErrno(errno);
  }
  return kOsSuccess;
}

// Creates directory and its missing parents, each made durable in its own parent.
int MakeDirectories(const std::string& directory) {
  struct stat state {};
  if (stat(directory.c_str(), &state) == 0) {
    return S_ISDIR(state.st_mode) ? kOsSuccess : kOsPathNotFound;
  }
  const std::string parent = Directory(directory);
  if (parent != directory) {
    if (const int result = MakeDirectories(parent)) {
      return result;
    }
  }
  if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    return ErrorFromErrno(errno);
  }
  return SyncDirectory(parent);
}

int LockStore(const std::string& path, int* lock) {
  if (path.empty()) {
    return kOsPathNotFound;
  }
  if (const int result = MakeDirectories(Directory(path))) {
    return result;
  }
  FileDescriptor opened(open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (opened.get() < 0) {
    return ErrorFromErrno(errno);
  }
  while (flock(opened.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      return ErrorFromErrno(errno);
    }
  }
  *lock = opened.release();
  return kOsSuccess;
}

int WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote < 0) {
      return ErrorFromErrno(errno);
    }
    done += static_cast<std::size_t>(wrote);
  }
  return kOsSuccess;
}

// Replaces the store with the cached tree. Only the registry is written: comments and layout of
// a file a person wrote do not survive, its keys and values do exactly.
int WriteStore() {
  const std::string text = FormatRegistryText(cache.root);
  // One temp name is enough, as only the holder of the lock writes; a killed writer's is replaced.
  const std::string temp = cache.path + ".tmp";
  if (unlink(temp.c_str()) != 0 && errno != ENOENT) {
    return ErrorFromErrno(errno);
  }
  const mode_t mode = cache.exists ? (cache.state.st_mode & 07777) : 0644;
  FileDescriptor file(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (file.get() < 0) {
    return ErrorFromErrno(errno);
  }
  int result = WriteAll(file.get(), text);
  if (result == kOsSuccess &&
      (fchmod(file.get(), mode) != 0 || fdatasync(file.get()) != 0 || rename(temp.c_str(), cache.path.c_str()) != 0)) {
    result = ErrorFromErrno(errno);
  }
  if (result != kOsSuccess) {
    unlink(temp.c_str());
    return result;
  }
  struct stat state {};
  if (fstat(file.get(), &state) != 0) {
    return ErrorFromErrno(errno);
  }
  RegKey root = std::move(cache.root);
  Keep(file.release(), state, true, std::move(root));
  return SyncDirectory(Directory(cache.path));
}

}  // namespace

std::string StorePath() {
  const char* named = std::getenv("RUNRELEASE_REGISTRY");
  if (named != nullptr && *named != '\0') {
    return named;
  }
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && *state == '/') {
    return std::string(state) + "/runrelease/registry.reg";
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') {
    return std::string(home) + "/.local/state/runrelease/registry.reg";
  }
  return {};
}

int StoreVisit(const std::function<int(const RegKey&)>& visit) {
  const std::lock_guard<std::mutex> guard(cacheMutex);
  try {
    if (const int result = Refresh()) {
      return result;
    }
    return visit(cache.root);
  } catch (const std::exception&) {
    Drop();
    return kOsOutOfMemory;
  }
}

int StoreChange(const std::function<int(RegKey*)>& change) {
  const std::lock_guard<std::mutex> guard(cacheMutex);
  try {
    int lockFd = -1;
    const int locked = LockStore(StorePath(), &lockFd);
    const FileDescriptor lock(lockFd);
    if (locked != kOsSuccess) {
      return locked;
    }
    if (const int result = Refresh()) {
      return result;
    }
    if (const int result = change(&cache.root)) {
      return result;
    }
    const int result = WriteStore();
    if (result != kOsSuccess) {
      // The tree holds a change the file may lack; the next call reads the file again.
      Drop();
    }
    return result;
  } catch (const std::exception&) {
    Drop();
    return kOsOutOfMemory;
  }
}

int StoreImport(std::string_view regText) {
  return StoreChange(
      [regText](RegKey* root) { return ApplyRegistryText(regText, root) ? kOsSuccess : kOsBadDatabase; });
}

int StoreExport(std::string* regText) {
  return StoreVisit([regText](const RegKey& root) {
    *regText = FormatRegistryText(root);
    return kOsSuccess;
  });
}
