#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/regformat.h"

// HKEY_LOCAL_MACHINE kept in one REGEDIT4 file that every process shares. Reads see the file as
// it is now; each change is made whole under a lock beside the file, or not at all. A file that
// does not parse is never written, and every call answers kOsBadDatabase until a person fixes it.
//
// A change is appended to the file as the records that make it, framed by two comment lines, so
// that its cost does not grow with the store; the file stays REGEDIT4 that any reader applies in
// order. Once the appended changes outgrow the rest, or the rest is not in canonical form, the
// change rewrites the whole file canonically instead, by replacing it.

constexpr int kOsOutOfMemory = 14;
constexpr int kOsRegistryIoFailed = 1016;

// RUNRELEASE_REGISTRY, else $XDG_STATE_HOME/runrelease/registry.reg, else
// $HOME/.local/state/runrelease/registry.reg; empty when none of them is set.
std::string StorePath();

// Runs visit on the current registry and answers what it answers, or the store's error.
int StoreVisit(const std::function<int(const RegKey&)>& visit);

// Runs change on the current registry under the writer lock and, when it answers 0, writes the
// result as one atomic, durable step. A change that fails must leave the tree as it was. A change
// that can say what it did as records (FormatSetValueRecord, FormatRemoveKeyRecord) puts them in
// *records, and they are appended; with none, the whole file is rewritten.
int StoreChange(const std::function<int(RegKey*, std::string* records)>& change);

// Applies a REGEDIT4 text as one change; kOsBadDatabase when the store or the text is invalid.
int StoreImport(std::string_view regText);

// The canonical text of the whole store.
int StoreExport(std::string* regText);

// How much of a store file's text is the store: an appended change that a crash cut short, and
// whatever it left, is not part of it.
std::size_t StoreCommittedLength(std::string_view text);
