// The Windows version probes on the example machines.
#include "osinfo/winversion.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <winsim.h>

#include "framework/basecomp.h"
#include "support/cmplog.h"
#include "testmachine.h"

namespace fs = std::filesystem;

namespace {
// Opens a copy of a built example machine (the probes read its ndis.sys).
class ExampleMachine {
 public:
  explicit ExampleMachine(const std::string &name) {
    std::string pattern = (fs::temp_directory_path() / "kvn-winversion.XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
    fs::copy(fs::path(KVN_EXAMPLE_MACHINES) / name, dir_, fs::copy_options::recursive);
    std::string error;
    if (!winsim::OpenMachine(dir_, error)) throw std::runtime_error(error);
  }
  ~ExampleMachine() {
    winsim::CloseMachine();
    fs::remove_all(dir_);
  }

 private:
  fs::path dir_;
};

struct Expected {
  const char *machine;
  bool r2, server2012, confirmed2012, server2008r2, x64v6;
};
}  // namespace

// The snapshot is per process: each machine is probed in a child process of its own.
class WinVersionProbe : public ::testing::TestWithParam<Expected> {};

TEST_P(WinVersionProbe, AnswersAsTheReleaseIs) {
  const Expected &e = GetParam();
  EXPECT_EXIT(
      {
        ExampleMachine machine(e.machine);
        CCmpLog log;
        g_messageWriter.Bind(&log);
        bool ok = IsServer2012R2() == e.r2 && IsServer2012() == e.server2012 &&
                  IsConfirmedServer2012() == e.confirmed2012 && IsServer2008R2() == e.server2008r2 &&
                  IsX64Version6OrLater() == e.x64v6;
        std::fprintf(stderr, "%d %d %d %d %d\n", IsServer2012R2(), IsServer2012(), IsConfirmedServer2012(),
                     IsServer2008R2(), IsX64Version6OrLater());
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(ExampleMachines, WinVersionProbe,
                         ::testing::Values(
                             // machine              R2     2012   conf.  2008R2 x64>=6
                             Expected{"server2012r2", true, true, false, false, true},
                             Expected{"server2012", false, true, true, false, true},
                             Expected{"server2008r2-sp1", false, false, false, true, true},
                             Expected{"server2016-core", false, false, false, false, true},
                             Expected{"windows10-client", false, false, false, false, true},
                             Expected{"server2008-x86", false, false, false, false, false},
                             Expected{"default", false, false, false, false, true}),
                         [](const auto &info) {
                           std::string name = info.param.machine;
                           for (auto &c : name)
                             if (!isalnum((unsigned char)c)) c = '_';
                           return name;
                         });

TEST(WinVersion, ClientSystemsAreNoServers) {
  struct Case {
    int minor;
    const char *ndis;
    bool r2, server2012, confirmed;
  } const cases[] = {
      {3, "6.3.9600.16384", false, false, false},  // a 6.3 client: not a server, and its ndis.sys is 6.3
      {2, "6.2.9200.16384", false, false, true},   // a 6.2 client: only ndis.sys is looked at
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.minor);
    EXPECT_EXIT(
        {
          TestMachine machine("[os]\nmajor = 6\nminor = " + std::to_string(c.minor) +
                              "\nproduct_type = \"workstation\"\n");
          machine.WritePe(L"C:\\Windows\\System32\\drivers\\ndis.sys", c.ndis);
          CCmpLog log;
          g_messageWriter.Bind(&log);
          std::exit(IsServer2012R2() == c.r2 && IsServer2012() == c.server2012 && IsConfirmedServer2012() == c.confirmed
                        ? 0
                        : 1);
        },
        ::testing::ExitedWithCode(0), "");
  }
}

TEST(WinVersion, ConfirmedServer2012LogsTheNdisVersion) {
  EXPECT_EXIT(
      {
        ExampleMachine machine("server2016-core");
        CCmpLog log;
        log.SetVerbose(1);
        log.Open();
        g_messageWriter.Bind(&log);
        bool confirmed = IsConfirmedServer2012();
        log.CloseFiles();
        std::ifstream in(winsim::HostPath(std::wstring(log.GetVerboseDirectory()) + log.GetVerboseName()));
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fputs(text.c_str(), stderr);
        std::exit(confirmed ? 1 : 0);
      },
      ::testing::ExitedWithCode(0),
      "\\[14:30:00\\]::winversion.cpp\\[84\\] \\[ostrand\\] ndis version \\(10.0.14393.0\\): a0000.38390000\n"
      "\\[14:30:00\\]::winversion.cpp\\[88\\] \\[ostrand\\] IsConfirmedServer2012\\(\\): NOT 2012.\n");
}
