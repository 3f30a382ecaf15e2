// An application's session with the card, as the demo shows it: it opens the reader,
// powers the card and selects a protocol (T=1 when the card offers it), selects the
// card's application, reads a file, verifies the PIN (wrongly once), asks for a
// challenge, powers the card down and closes the handle. Everything goes through the
// doors Windows uses (scard::Reader).
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace ccidsim {

struct CardApplicationOutcome {
  NTSTATUS status = STATUS_SUCCESS;   // the first request that failed, else success
  std::vector<std::string> exchange;  // "> 00 A4 ... (select the application)", "< 90 00 : success"
  std::vector<std::string> notes;     // what did not go as the application expected
};

// `pdo` is the reader's, `card` the profile of the card in it.
CardApplicationOutcome RunCardApplication(PDEVICE_OBJECT pdo, const std::string& card);

}  // namespace ccidsim
