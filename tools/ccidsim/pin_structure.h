// The PC/SC part 10 structures of the reader features, built from readable settings and
// read back into words: PIN_VERIFY_STRUCTURE and PIN_MODIFY_STRUCTURE, the feature list,
// the PIN-pad and TLV properties.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ccidsim {

using Bytes = std::vector<std::uint8_t>;

// Settings, as `name=value` words separated by blanks (every one optional):
//   apdu=HEX            the command the reader completes with the PIN (default: VERIFY,
//                       or CHANGE REFERENCE DATA, of reference 81 with FF templates)
//   format=ascii|bcd|binary   how each digit is coded (default ascii)
//   block=N             PIN block size in bytes, 0 to 15 (default 8)
//   justify=left|right  the digits' place in the block (default left)
//   pin-at=N            the block's byte offset in the data field (default 0)
//   length-bits=N length-at=N  a PIN length field of N bits at byte offset N (default none);
//                       length-at-bit=N places it at bit N instead
//   min=N max=N         digits (default 4 and 8)
//   validation=key,max,timeout  what ends the entry (default key)
//   timeout=S           seconds the reader waits; 0 its own time-out (default 0)
//   messages=N          bNumberMessage (default 1, for modify 3; 255 the reader's own)
// and for modify only:
//   old-at=N new-at=N   the byte offsets of the current and new PIN (default 0 and 8)
//   old=yes|no confirm=yes|no  whether the user types the current PIN and confirms the
//                       new one (default yes and yes)
// Nothing, with the reason, for a setting that is not one of these.
std::optional<Bytes> BuildPinStructure(bool modify, std::string_view settings, std::string* error);

// "FEATURE_VERIFY_PIN_DIRECT (06): 0x00FD65F8" for each entry of a feature list; an
// entry that is not 6 bytes long ends the list with a note.
std::vector<std::string> DescribeFeatures(const Bytes& list);
// The PIN-pad properties (wLcdLayout, bEntryValidationCondition, bTimeOut2) in words.
std::string DescribePinProperties(const Bytes& properties);
// Each TLV of the TLV properties: "dwMaxAPDUDataSize = 65536".
std::vector<std::string> DescribeTlvProperties(const Bytes& tlv);

}  // namespace ccidsim
