#include <gtest/gtest.h>

#include "e2e/scenario.h"

// The drivers of the real program find it, and the child, beside themselves.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  SetProgramFolder(argv[0]);
  return RUN_ALL_TESTS();
}
