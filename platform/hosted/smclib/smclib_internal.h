// Shared internals of the hosted smart-card library.
#pragma once

#include <smclib.h>

#include <cstddef>
#include <optional>
#include <string>

#include "iso7816/t1_host.h"

namespace hosted::smclib {

// Pool tag of the library's blocks; reads "SCLB" in a pool dump.
inline constexpr ULONG kPoolTag = 'BLCS';

// The library's own memory for one reader, kept in the OS data block behind OS_DEP_DATA
// (the driver sees only OS_DEP_DATA). Built by SmartcardInitialize, destroyed by
// SmartcardExit.
struct LibraryState {
  // T=1: the session's engine, built at the first block after T1.State went to T1_INIT.
  std::optional<iso7816::T1HostEngine> t1;
  bool t1CommandUnderWay = false;  // SmartcardT1Request began a command not yet ended
  // The card's T=1 state is uncertain (a block went out whose answer never came, or a
  // command failed): the next command begins with S(RESYNCH request).
  bool t1SessionInDoubt = false;
  // SCARD_ATTR_SUPRESS_T1_IFS_REQUEST set: no opening S(IFS request).
  bool suppressT1IfsRequest = false;
};

// The library state of an initialised extension; nullptr when SmartcardInitialize has not
// run (or SmartcardExit has).
LibraryState* StateOf(PSMARTCARD_EXTENSION extension);

// A new card session (answer to reset, protocol choice, power): the T=1 state goes back to
// T1_INIT, all of T1_DATA cleared but the driver's NAD.
void RestartT1Session(PSMARTCARD_EXTENSION extension);

// Builds the T=1 session for the card in CardCapabilities (smclib_t1.cpp): the engine,
// T1_DATA at T1_START with the session's IFSC and IFSD.
void StartT1Session(PSMARTCARD_EXTENSION extension);

// Remove-lock bookkeeping kept beside OS_DEP_DATA: who holds which tag.
void RegisterRemoveLock(POS_DEP_DATA osData);
// Forgets the lock; returns how many acquisitions were still outstanding.
std::size_t UnregisterRemoveLock(POS_DEP_DATA osData);

void ReportMisuse(const char* routine, std::string message);
void ReportUnimplemented(const char* routine);

}  // namespace hosted::smclib
