// Yes/no probes of the running Windows release, over a snapshot of the version information
// taken once per process, and the version of the system's "ndis.sys", which tells Windows
// Server 2012 and 2012 R2 apart even where the reported version number does not.
#pragma once

#define WINVERSION_SOURCE L"winversion.cpp"

bool IsServer2012R2();         // not a workstation; 6.3 on the NT platform, or ndis.sys 6.3
bool IsServer2012();           // not a workstation; 6.2 on the NT platform
bool IsConfirmedServer2012();  // ndis.sys is 6.2 (logs what it found)
bool IsServer2008R2();         // not a workstation; 6.1 on the NT platform
bool IsX64Version6OrLater();   // major version 6 or later on an AMD64 processor
