// The child of the end-to-end runs. Its arguments are action and operand pairs, carried out in
// order up to the first argument that starts with a dash (the watched file's switch):
//   rm PATH      removes a file or an empty folder
//   addkey PATH  creates a key under HKEY_LOCAL_MACHINE
//   sleep MS     waits
// It notes each action and its outcome in child.log beside itself, for the driver's messages.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

#include "support/testsupport.h"

int main(int argc, char** argv) {
  std::ofstream log{std::filesystem::path(argv[0]).parent_path() / "child.log", std::ios::app};
  for (int index = 1; index + 1 < argc && argv[index][0] != '-'; index += 2) {
    const std::string action = argv[index];
    const char* operand = argv[index + 1];
    if (action == "rm") {
      std::error_code error;
      std::filesystem::remove(operand, error);
      log << "rm " << operand << ": " << error.message() << "\n";
    } else if (action == "addkey") {
      log << "addkey " << operand << ": " << TestCreateKey(operand) << "\n";
    } else if (action == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::strtol(operand, nullptr, 10)));
    } else {
      return 2;
    }
  }
  return 0;
}
