// The library's one component object is made by the layer that defines the concrete
// component (adapter/); the exports only call this declaration, so they depend on nothing
// above the framework.
#pragma once

#include <memory>

#include "framework/basecomp.h"

// A new component object; the library makes one when it is loaded.
std::unique_ptr<CBaseComponent> CreateComponent();
