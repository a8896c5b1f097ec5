// The scenario table against the Linux build: saplugin with sacmd as the
// interpreter and safilter standing in for SpamAssassin.

#include <gtest/gtest.h>

#include "e2e/scenario_runner.h"

namespace saplugin {
namespace {

class LinuxScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(LinuxScenario, LeavesTheQueueAndTheEventLogAsExpected) { RunScenario(LinuxBuild(), GetParam()); }

INSTANTIATE_TEST_SUITE_P(Scan, LinuxScenario, ::testing::ValuesIn(ScanScenarios()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace saplugin
