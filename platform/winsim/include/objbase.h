// The COM runtime header product code includes; the declarations are in combaseapi.h.
#pragma once

#include "combaseapi.h"
