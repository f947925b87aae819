// The machine's clock ([machine] clock and timezone_bias_minutes): a fixed start time, or
// the host's time when the machine names none. Waiting (Sleep, a wait for a process)
// advances it; a restart moves a fixed clock on by the time the restart takes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

#include "machine/part.h"

namespace winsim {

class MachineClock : public MachinePart {
 public:
  int64_t Now() const;  // FILETIME units (100 ns since 1601), UTC
  int64_t LocalFromUtc(int64_t utc) const { return utc - int64_t(biasMinutes_) * 600000000LL; }
  int BiasMinutes() const { return biasMinutes_; }  // UTC = local time + bias
  DWORD TickCount() const;                          // ms since the machine booted (2 hours before it was opened)
  void Advance(int64_t ms) { advancedMs_ += ms; }
  bool Fixed() const { return fixed_; }
  // The local time the clock starts from when the machine opens next (a restart).
  void StartNextAt(int64_t local) { nextStartLocal_ = local; }

  bool Load(MachineFile &file) override;
  bool Save(MachineFile &file, std::string &error) override;

 private:
  bool fixed_ = false;
  int64_t startUtc_ = 0;
  int64_t advancedMs_ = 0;
  int64_t hostStartMs_ = 0;  // host monotonic time when the machine opened
  int biasMinutes_ = 0;
  std::optional<int64_t> nextStartLocal_;
};

// The open machine's clock.
MachineClock &Clock();

}  // namespace winsim
