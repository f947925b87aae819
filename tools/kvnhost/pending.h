// What the machine has waiting for its next restart, read as Windows keeps it: the pending
// file operations of the session manager, services marked for deletion and devices that wait
// for a restart. The same Win32 reads on Windows and on winsim.
#pragma once

#include <string>
#include <vector>

struct PendingItem {
  std::string kind;  // "rename", "replace", "delete", "service marked for deletion", "device waiting"
  std::string what;  // "C:\a -> C:\b" (as reboot names it), the service's name, the device's instance ID
};

std::vector<PendingItem> PendingRestart();

// The operations of a PendingFileRenameOperations value given as its strings: pairs of a file
// and its new name ("!" first: replacing what is there; empty: a deletion).
std::vector<PendingItem> PendingFileOperations(const std::vector<std::wstring> &strings);

// True when an install that did not live to finish left the adapter journal (the component
// restores the adapters it lists at the next install); read, never changed.
bool InterruptedInstallPending();
