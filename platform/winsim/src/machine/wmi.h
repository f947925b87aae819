// What WMI answers on the machine ([wmi]): whether the service is there at all, and the
// computer system's model.
#pragma once

#include <string>

#include "machine/part.h"

namespace winsim {

class WmiState : public MachinePart {
 public:
  bool available = true;
  std::wstring model = L"RS-220";

  bool Load(MachineFile &file) override;
};

// The open machine's WMI.
WmiState &Wmi();

}  // namespace winsim
