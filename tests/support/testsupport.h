#pragma once

#include <string>

#include "platform/regformat.h"

// What the tests need from the system under test, one definition per system: seeding and reading
// the test's part of HKEY_LOCAL_MACHINE, holding a file as another process would, and starting
// the program with an exact command tail.

// The registry trees a test owns; every other key is never touched by a test.
constexpr const char* kTestOwnedTrees[] = {"Software\\Norvo", "Software\\RunReleaseTest"};

// Gives this process, and the programs it starts, a registry of its own inside folder where the
// system allows it; elsewhere the test owns the machine's registry and resets its trees.
void TestIsolateRegistry(const std::string& folder);

// The owned trees of a registry tree, and nothing else: Software holding those that exist.
RegKey OwnedTrees(const RegKey& root);

// Makes each owned tree exactly what regText (REGEDIT4, keys under HKEY_LOCAL_MACHINE) holds.
// Returns 0 or a Windows error code.
int TestResetRegistry(const std::string& regText);

// The owned trees as canonical REGEDIT4 text: the header, then each key in case-insensitive
// depth-first order with its values.
std::string TestExportRegistry();

// Creates the key at path under HKEY_LOCAL_MACHINE, and its parents. Returns 0 or an error code.
int TestCreateKey(const std::string& path);

// Holds path open so that a sole-use open by another process is refused as in use, until
// TestFreeFile. Returns an id, or -1 when the file cannot be held.
int TestHoldFile(const std::string& path);
void TestFreeFile(int id);

// Starts program with commandTail as its exact command tail, waits, and returns 0 with the exit
// code and everything it wrote to its standard output and error, or an error code.
int TestRunProgram(const std::string& program, const std::string& commandTail, int* exitCode, std::string* output);

// Sets or, with nullptr, removes a variable of this process's environment, which started
// programs inherit.
void TestSetEnvironment(const char* name, const char* value);
