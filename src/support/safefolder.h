// Folders that only Administrators and SYSTEM can change, for what the elevated component
// writes and later trusts (its log, the staged driver files).
#pragma once

#include <windows.h>

// Makes `folder` (a full path "X:\a\b") and each folder above it below the drive root safe:
// a missing one is created with an access list of its own (Administrators and SYSTEM full
// control, nothing inherited from the drive root); one that is a link (a junction), a file,
// not owned by Administrators, SYSTEM or the account the process runs as, or that lets
// anyone else write is never changed in
// place: a link is removed (not what it points to), anything else is renamed aside, and the
// folder is created afresh. A folder that is already safe is used as it is. False when a
// level cannot be made safe (it cannot be moved aside or created, or its security cannot be
// read); what was done up to then stays.
[[nodiscard]] bool MakeSafeFolder(const WCHAR *folder);
