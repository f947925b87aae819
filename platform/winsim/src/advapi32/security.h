// The memory blocks the security and heap calls hand out (LocalAlloc, GlobalAlloc,
// AllocateAndInitializeSid ...).
#pragma once

namespace winsim {

// Frees the blocks and SIDs a failed free kept: the process's heap ends with it.
void ReleaseHeapBlocks();

}  // namespace winsim
