#include "machine/clock.h"

#include <chrono>

#include "base/calendar.h"

namespace winsim {

namespace {
const PartSlot<MachineClock> g_clock("clock");

int64_t HostMonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

constexpr int64_t kUnixEpochAsFiletime = 116444736000000000LL;

int64_t HostNowUtc() {
  using namespace std::chrono;
  auto us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  return kUnixEpochAsFiletime + us * 10;
}
}  // namespace

MachineClock &Clock() { return g_clock(); }

int64_t MachineClock::Now() const {
  int64_t base = fixed_ ? startUtc_ : startUtc_ + (HostMonotonicMs() - hostStartMs_) * 10000;
  return base + advancedMs_ * 10000;
}

DWORD MachineClock::TickCount() const {
  int64_t ms = 7200000 + advancedMs_ + (fixed_ ? 0 : HostMonotonicMs() - hostStartMs_);
  return DWORD(uint64_t(ms));
}

bool MachineClock::Load(MachineFile &file) {
  hostStartMs_ = HostMonotonicMs();
  startUtc_ = HostNowUtc();
  TableReader &r = file.Section("machine");
  int64_t bias = 0;
  const bool biasRead = r.Number("timezone_bias_minutes", bias, -24 * 60, 24 * 60);
  biasMinutes_ = int(bias);
  std::string clock;
  if (const toml::node *n = file.Config()["machine"]["clock"].node(); n && !n->is_string()) {
    r.Skip("clock");
    return r.WrongType("clock", "a text \"YYYY-MM-DDTHH:MM:SS\"");
  }
  if (!r.Text("clock", clock) || !biasRead) return false;
  if (r.Has("clock")) {
    int64_t local;
    if (!ParseIsoDateTime(clock, local)) return r.Fail("clock", "\"" + clock + "\" is not a time YYYY-MM-DDTHH:MM:SS");
    fixed_ = true;
    startUtc_ = local + int64_t(biasMinutes_) * 60 * kTicksPerSecond;
  }
  return true;
}

bool MachineClock::Save(MachineFile &file, std::string &) {
  if (!nextStartLocal_) return true;
  toml::table *machine = file.Config()["machine"].as_table();
  if (!machine) {
    file.Config().insert("machine", toml::table{});
    machine = file.Config()["machine"].as_table();
  }
  machine->insert_or_assign("clock", IsoDateTimeText(*nextStartLocal_));
  return true;
}

}  // namespace winsim
