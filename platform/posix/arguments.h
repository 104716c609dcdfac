#pragma once

#include <string>
#include <vector>

// A command line split into arguments by the Windows rules. In the program's name, quotes only
// switch quoting on and off, and the name ends at the first blank or tab outside quotes. After
// it, blanks and tabs separate arguments outside quotes; 2n backslashes before a quote give n and
// the quote opens or closes quoting, 2n+1 give n and a literal quote; "" inside quotes gives a
// literal quote; other backslashes stand as they are.
std::vector<std::string> SplitCommandLine(const char* commandLine);
