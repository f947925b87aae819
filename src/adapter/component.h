// CComponent: the network-adapter component, the one component object of the library.
#pragma once

#include "framework/basecomp.h"

// The source file names the adapter component's log lines are tagged with.
#define COMPONENT_SOURCE L"component.cpp"
#define INSTALLATION_SOURCE L"installation.cpp"

class CComponent : public CBaseComponent {
 public:
  CComponent();
  ~CComponent() override;
  int Install(int reserved1, ULONG_PTR reserved2, WCHAR *message, int reserved4, const WCHAR *languageCode) override;
  int IsOSSupported() override;
  int IsInstalled() override;
  int GetVersionStatus() override;
};
