#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/regformat.h"

// HKEY_LOCAL_MACHINE kept in one REGEDIT4 file that every process shares. Reads see the file as
// it is now; each change is made whole under a lock beside the file, or not at all. A file that
// does not parse is never written, and every call answers kOsBadDatabase until a person fixes it.

constexpr int kOsOutOfMemory = 14;
constexpr int kOsRegistryIoFailed = 1016;

// RUNRELEASE_REGISTRY, else $XDG_STATE_HOME/runrelease/registry.reg, else
// $HOME/.local/state/runrelease/registry.reg; empty when none of them is set.
std::string StorePath();

// Runs visit on the current registry and answers what it answers, or the store's error.
int StoreVisit(const std::function<int(const RegKey&)>& visit);

// Runs change on the current registry under the writer lock and, when it answers 0, writes the
// result as one atomic, durable step. A change that fails must leave the tree as it was.
int StoreChange(const std::function<int(RegKey*)>& change);

// Applies a REGEDIT4 text as one change; kOsBadDatabase when the store or the text is invalid.
int StoreImport(std::string_view regText);

// The canonical text of the whole store.
int StoreExport(std::string* regText);
