// Folders that only Administrators and SYSTEM can change, for what the elevated component
// writes and later trusts (its log, the staged driver files).
#pragma once

#include <windows.h>

// Makes `folder` (a full path "X:\a\b") and each folder above it below the drive root safe:
// - a missing one is created with an access list of its own (Administrators and SYSTEM full
//   control, nothing inherited from the drive root);
// - a real folder owned by Administrators, SYSTEM or the account the process runs as, whose
//   access list lets others write but not change its access list or owner (what the drive
//   root passes on to a folder the host created), is made safe in place: it gets a protected
//   access list (Administrators and SYSTEM full control, Users read) through a handle that
//   names the folder itself, read back and checked; then each entry of `folder` that is a
//   link, has more than one name or a foreign owner is moved aside;
// - a link (a junction), a file, a folder of any other owner, one on which anyone else may
//   change the access list or the owner, one whose security cannot be read, or one that
//   could not be made safe in place is never trusted: a link is removed (not what it points
//   to), anything else is renamed aside, and the folder is created afresh.
// A folder that is already safe is used as it is. False when a level cannot be made safe (it
// cannot be moved aside or created) or an untrusted entry cannot be moved aside; what was
// done up to then stays.
[[nodiscard]] bool MakeSafeFolder(const WCHAR *folder);
