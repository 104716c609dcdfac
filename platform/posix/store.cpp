#include "platform/posix/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <utility>

#include "platform/platform.h"

namespace {

// A file replaced this many times while one read was under way is given up on.
constexpr int kReadAttempts = 16;

// An appended change: kChangeBegin, the length of its records, a line end, the records and
// kChangeEnd, in one write. To any other reader both frame lines are comments.
constexpr std::string_view kChangeBegin = ";runrelease change ";
constexpr std::string_view kChangeEnd = ";runrelease end\n";
constexpr std::size_t kChangeLengthDigits = 9;
// Appended changes may grow as large as the rest of the file, and at least this large, before a
// change rewrites the file; each byte then costs a bounded share of the rewrites.
constexpr std::size_t kAppendedFloorBytes = std::size_t{64} * 1024;

// Where in the file the store's text ends and its appended changes begin, and whether a change
// may be appended: only after canonical text that ends a line.
struct Layout {
  std::size_t committed = 0;
  std::size_t appendedFrom = 0;
  bool appendable = false;
};

struct Cache {
  std::string path;
  bool loaded = false;
  bool valid = true;
  struct stat state {};
  // Held open so that the cached file's inode cannot be reused by a later file; -1 for no file.
  int fd = -1;
  RegKey root;
  Layout layout;
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

void Keep(int fd, const struct stat& state, bool valid, RegKey root, const Layout& layout) {
  Drop();
  cache.fd = fd;
  cache.state = state;
  cache.valid = valid;
  cache.root = std::move(root);
  cache.layout = layout;
  cache.loaded = true;
}

bool IsDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool StartsLine(std::string_view text, std::size_t at) { return at > 0 && text[at - 1] == '\n'; }

std::size_t FirstChangeBegin(std::string_view text) {
  for (std::size_t at = text.find(kChangeBegin); at != std::string_view::npos; at = text.find(kChangeBegin, at + 1)) {
    if (StartsLine(text, at)) {
      return at;
    }
  }
  return text.size();
}

std::size_t LastChangeBegin(std::string_view text) {
  for (std::size_t at = text.rfind(kChangeBegin); at != std::string_view::npos && at > 0;
       at = text.rfind(kChangeBegin, at - 1)) {
    if (StartsLine(text, at)) {
      return at;
    }
  }
  return std::string_view::npos;
}

// A last line without its line end that is only the start of a change's first line, or bytes
// that a crash left zero.
bool IsCutChangeStart(std::string_view line) {
  const std::size_t lastByte = line.find_last_not_of('\0');
  line = lastByte == std::string_view::npos ? std::string_view() : line.substr(0, lastByte + 1);
  if (line.size() <= kChangeBegin.size()) {
    return kChangeBegin.substr(0, line.size()) == line;
  }
  return line.substr(0, kChangeBegin.size()) == kChangeBegin && IsDigits(line.substr(kChangeBegin.size()));
}

// Applies a store file's committed text to root, as any reader of the file would, and finds its
// layout; false when it is not valid.
bool ParseStore(std::string_view text, RegKey* root, Layout* layout) {
  text = text.substr(0, StoreCommittedLength(text));
  layout->committed = text.size();
  layout->appendedFrom = FirstChangeBegin(text);
  if (!ApplyRegistryText(text, root)) {
    return false;
  }
  const std::string_view before = text.substr(0, layout->appendedFrom);
  RegKey beforeTree;
  const RegKey* canonicalOf = root;
  if (before.size() != text.size()) {
    canonicalOf = ApplyRegistryText(before, &beforeTree) ? &beforeTree : nullptr;
  }
  layout->appendable =
      !text.empty() && text.back() == '\n' && canonicalOf != nullptr && FormatRegistryText(*canonicalOf) == before;
  return true;
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
  if (cache.loaded && cache.fd >= 0 && stat(path.c_str(), &now) == 0 && SameFile(now, cache.state)) {
    return Status();
  }
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
      if (errno != ENOENT && errno != ENOTDIR) {
        return ErrorFromErrno(errno);
      }
      if (!cache.loaded || cache.fd >= 0) {
        Keep(-1, {}, true, RegKey(), Layout{});
      }
      return kOsSuccess;
    }
    struct stat before {};
    struct stat after {};
    if (fstat(file.get(), &before) != 0) {
      return ErrorFromErrno(errno);
    }
    if (cache.loaded && cache.fd >= 0 && SameFile(before, cache.state)) {
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
    Layout layout;
    const bool valid = ParseStore(text, &root, &layout);
    Keep(file.release(), before, valid, valid ? std::move(root) : RegKey(), layout);
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

int WriteAll(int fd, const std::string& text, std::size_t offset) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(offset + done));
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
  const mode_t mode = cache.fd >= 0 ? (cache.state.st_mode & 07777) : 0644;
  FileDescriptor file(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (file.get() < 0) {
    return ErrorFromErrno(errno);
  }
  int result = WriteAll(file.get(), text, 0);
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
  Keep(file.release(), state, true, std::move(root), Layout{text.size(), text.size(), true});
  return SyncDirectory(Directory(cache.path));
}

bool FitsAppended(std::size_t changeSize) {
  const Layout& layout = cache.layout;
  return cache.fd >= 0 && layout.appendable &&
         layout.committed - layout.appendedFrom + changeSize <= std::max(layout.appendedFrom, kAppendedFloorBytes);
}

std::string FramedChange(const std::string& records) {
  std::string change(kChangeBegin);
  change += std::to_string(records.size());
  change += '\n';
  change += records;
  change += kChangeEnd;
  return change;
}

// Appends one framed change to the cached file, durably. What a change cut short left after the
// committed text goes first; a failed append is cut off again, and readers never count it.
int AppendChange(const std::string& change) {
  FileDescriptor file(open(cache.path.c_str(), O_WRONLY | O_CLOEXEC));
  // A file that cannot be written in place, one without write permission say, is replaced as
  // before: the folder decides, as it does for every rewrite.
  if (file.get() < 0) {
    return WriteStore();
  }
  struct stat state {};
  if (fstat(file.get(), &state) != 0) {
    return ErrorFromErrno(errno);
  }
  if (state.st_dev != cache.state.st_dev || state.st_ino != cache.state.st_ino) {
    return kOsRegistryIoFailed;
  }
  const std::size_t committed = cache.layout.committed;
  int result = kOsSuccess;
  if (static_cast<std::size_t>(state.st_size) != committed &&
      ftruncate(file.get(), static_cast<off_t>(committed)) != 0) {
    result = ErrorFromErrno(errno);
  }
  if (result == kOsSuccess) {
    result = WriteAll(file.get(), change, committed);
  }
  if (result == kOsSuccess && (fdatasync(file.get()) != 0 || fstat(file.get(), &state) != 0)) {
    result = ErrorFromErrno(errno);
  }
  if (result != kOsSuccess) {
    (void)ftruncate(file.get(), static_cast<off_t>(committed));
    return result;
  }
  cache.state = state;
  cache.layout.committed += change.size();
  return kOsSuccess;
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

int StoreChange(const std::function<int(RegKey*, std::string*)>& change) {
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
    std::string records;
    if (const int result = change(&cache.root, &records)) {
      return result;
    }
    const std::string framed = records.empty() ? std::string() : FramedChange(records);
    const int result = !framed.empty() && FitsAppended(framed.size()) ? AppendChange(framed) : WriteStore();
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
  return StoreChange([regText](RegKey* root, std::string* /*records*/) {
    return ApplyRegistryText(regText, root) ? kOsSuccess : kOsBadDatabase;
  });
}

int StoreExport(std::string* regText) {
  return StoreVisit([regText](const RegKey& root) {
    *regText = FormatRegistryText(root);
    return kOsSuccess;
  });
}

std::size_t StoreCommittedLength(std::string_view text) {
  const std::size_t begin = LastChangeBegin(text);
  if (begin != std::string_view::npos) {
    const std::size_t lineEnd = text.find('\n', begin);
    if (lineEnd == std::string_view::npos) {
      return begin;
    }
    const std::size_t lengthAt = begin + kChangeBegin.size();
    const std::string_view length = text.substr(lengthAt, lineEnd - lengthAt);
    if (IsDigits(length) && length.size() <= kChangeLengthDigits) {
      const std::size_t recordsEnd = lineEnd + 1 + std::stoul(std::string(length));
      const std::size_t changeEnd = recordsEnd + kChangeEnd.size();
      // A frame line that frames nothing it could is a comment of whoever wrote the file, unless
      // the file ends where its change would.
      if (changeEnd > text.size() ||
          (changeEnd == text.size() && text.substr(recordsEnd, kChangeEnd.size()) != kChangeEnd)) {
        return begin;
      }
    }
  }
  const std::size_t lastLine = text.rfind('\n') == std::string_view::npos ? 0 : text.rfind('\n') + 1;
  if (lastLine < text.size() && IsCutChangeStart(text.substr(lastLine))) {
    return lastLine;
  }
  return text.size();
}
