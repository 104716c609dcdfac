#pragma once

#include "platform/platform.h"

constexpr const char* kMakerKeyPath = "Software\\Norvo";
constexpr const char* kSharedKeyPath = "Software\\Norvo\\Common";
constexpr const char* kLockCountName = "LockCount";

// The count DecrementLockCount answers when it left the shared key as it was: the key cannot be
// opened, LockCount holds no number, or reading it failed for another reason than its being
// missing or too large. Like any count of 1 or more, it keeps the shared key.
constexpr int kSharedKeyLeftAlone = 1111;

// Lowers LockCount by one and returns the new count; an unreadable value (missing, or too large
// for the value buffer) is rewritten as "0" and gives 0.
int DecrementLockCount();

// Releases one hold: lowers LockCount and, once no hold is left, removes the shared key.
void ReleaseHold();

// Removes the key at path under parent with every subkey and value, depth first. A part that
// cannot be removed stays; everything else still goes.
void DeleteKeyTree(OsKey parent, const char* path);
