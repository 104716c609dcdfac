// The real program, run with real children, files and registry, scenario by scenario from the
// table that every build shares.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/scenario.h"

namespace {

class EndToEnd : public testing::TestWithParam<Scenario> {};

TEST_P(EndToEnd, Scenario) {
  const Scenario& scenario = GetParam();
  const ScenarioRun run = RunScenario(scenario, scenario.faults);
  ASSERT_EQ(run.started, 0);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.registry, CanonicalOwnedTrees(scenario.after + " " + kUnrelatedKeys)) << run.childLog;
  EXPECT_EQ(run.present, scenario.present);
  EXPECT_EQ(run.faultReached, !scenario.faults.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, EndToEnd, testing::ValuesIn(LoadScenarios()), ScenarioTestName);

}  // namespace
