// The fault sweep's decisions: which calls it fails and which device changes it accepts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sweeplogic.h"

namespace fs = std::filesystem;
using faultsweep::Call;
using faultsweep::DeviceState;

namespace {

TEST(SweepTrace, ReadsTheFirstMachinesCallsAndSkipsWhatIsNotACall) {
  fs::path file = fs::temp_directory_path() / ("kvn-sweep-trace-" + std::to_string(getpid()));
  std::ofstream(file) << "# machine /tmp/a\n"
                         "1\tLoadLibraryW\tkvnhost+0x10\t\n"
                         "2\tCreateFileW\tkvncomp.dll+0x2a\tOpenLog\n"
                         "not a call\n"
                         "# machine /tmp/a\n"
                         "1\tRegOpenKeyExW\tkvnhost+0x99\t\n";
  std::vector<Call> calls = faultsweep::ReadTrace(file);
  fs::remove(file);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].n, 2);
  EXPECT_EQ(calls[1].function, "CreateFileW");
  EXPECT_EQ(calls[1].site, "kvncomp.dll+0x2a");
  EXPECT_EQ(calls[1].symbol, "OpenLog");
}

// Grouped: each function at each call site at its first and at its last call, in call order.
TEST(SweepPoints, EachModeChoosesItsCalls) {
  std::vector<Call> calls = {{1, "A", "m+1", ""}, {2, "B", "m+1", ""}, {3, "A", "m+1", ""},
                             {4, "A", "m+2", ""}, {5, "A", "m+1", ""}, {6, "B", "m+1", ""}};
  const struct {
    const char *mode;
    std::vector<long long> points;
  } cases[] = {
      {"grouped", {1, 2, 4, 5, 6}},
      {"full", {1, 2, 3, 4, 5, 6}},
      {"baseline", {}},
  };
  for (auto &c : cases) {
    std::vector<long long> chosen;
    for (const Call *p : faultsweep::FaultPoints(calls, c.mode)) chosen.push_back(p->n);
    EXPECT_EQ(chosen, c.points) << c.mode;
  }
}

TEST(SweepAdapters, AcceptsOnlyTheChangesARunMayMake) {
  const DeviceState started{"started", 0, ""}, disabled{"disabled", 22, ""}, stopped{"not_started", 0, ""},
      waiting{"problem", 14, ""}, noDriver{"problem", 28, ""}, failedStart{"problem", 10, ""},
      runsUntilDisabled{"started", 0, "disabled"}, runsUntilStarted{"started", 0, "started"};
  const struct {
    DeviceState before, now;
    int code;
    bool accepted;
  } cases[] = {
      {started, started, 1, true},
      {started, disabled, 0, false},  // left down, success said
      {started, disabled, 1, false},
      {started, stopped, 0, false},
      {started, waiting, 3010, true},
      {started, waiting, 0, false},  // a restart nobody was told of
      {started, waiting, 1, false},
      {disabled, started, 0, false},  // the administrator's choice
      {disabled, waiting, 3010, false},
      {disabled, disabled, 1, true},
      {noDriver, started, 1, true},
      {noDriver, waiting, 3010, true},
      {noDriver, disabled, 0, false},
      {stopped, failedStart, 0, false},
      // A device that cannot be stopped: it runs until the restart gives it its waiting status.
      {started, runsUntilDisabled, 3010, false},
      {started, runsUntilStarted, 3010, true},
      {started, runsUntilStarted, 1, false},
  };
  for (auto &c : cases)
    EXPECT_EQ(faultsweep::AcceptableChange(c.before, c.now, c.code), c.accepted)
        << c.before.Text() << " -> " << c.now.Text() << " exit " << c.code;
}

}  // namespace
