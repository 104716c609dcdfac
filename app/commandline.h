#pragma once

#include <cstddef>

// Paths and key names live in buffers of this size: at most 259 bytes and the NUL.
constexpr std::size_t kPathBufferSize = 260;

using LeadBytePredicate = int (*)(unsigned char byte);

// The command tail of a full process command line: the line less the program's own name and
// the blanks and control bytes after it. A quoted name runs to the next quote (a lead byte of a
// double-byte character carries its trail byte with it) or to the end of the line; an unquoted
// name runs to the first byte of 32 or less. Returns a pointer into commandLine.
const char* CommandTailFromCommandLine(const char* commandLine, LeadBytePredicate isLeadByte);

// The watched path of a command tail: from the third byte after the first dash to the end, less
// the last byte, counted in bytes. Returns 0, leaving path empty, when the tail names no watched
// file: no dash, at most two bytes after it, or more than 259 bytes to copy. A long path is
// never cut, since a cut path can name another, existing file.
int WatchedPathFromTail(const char* tail, char (&path)[kPathBufferSize]);
