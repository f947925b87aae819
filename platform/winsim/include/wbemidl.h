// WMI's interface header as product code includes it; the client interfaces are in wbemcli.h.
#pragma once

#include "wbemcli.h"
