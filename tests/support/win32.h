#pragma once

#include <string>

// What only the Windows tests need from the Windows test support.

// Starts application, or with nullptr the program that commandLine names, with commandLine as the
// exact line GetCommandLineA returns; waits, and returns 0 with its exit code, or an error code.
int TestRunCommandLine(const char* application, std::string commandLine, int* exitCode);
