// Shared internals of the hosted smart-card library.
#pragma once

#include <smclib.h>

#include <cstddef>
#include <string>

namespace hosted::smclib {

// Pool tag of the library's blocks; reads "SCLB" in a pool dump.
inline constexpr ULONG kPoolTag = 'BLCS';

// Remove-lock bookkeeping kept beside OS_DEP_DATA: who holds which tag.
void RegisterRemoveLock(POS_DEP_DATA osData);
// Forgets the lock; returns how many acquisitions were still outstanding.
std::size_t UnregisterRemoveLock(POS_DEP_DATA osData);

void ReportMisuse(const char* routine, std::string message);
void ReportUnimplemented(const char* routine);

}  // namespace hosted::smclib
