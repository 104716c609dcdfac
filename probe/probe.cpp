#include "probe/probe.h"

#include <cstdint>

#include "platform/platform.h"

int IsFilePresent(const char* path) {
  OsFile file = nullptr;
  const int opened = OsOpenFileForSoleRead(path, &file);
  if (opened != kOsSuccess) {
    return opened == kOsSharingViolation ? 1 : 0;
  }
  std::uint32_t attributes = kOsInvalidAttributes;
  OsGetFileAttributes(path, &attributes);
  OsCloseFile(file);
  return (attributes & kOsAttributeDirectory) != 0 ? 0 : 1;
}
