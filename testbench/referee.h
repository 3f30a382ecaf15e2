// The protocol referee: the rules a CCID reader relies on, checked on the message trace of
// a bench session (every whole message in the order the bus carried it) and on the
// simulated reader's own record of host protocol errors. It works on the bytes alone, not
// on the simulator's or the driver's view of the wire.
#pragma once

#include <hosted/usb/message.h>

#include <cstddef>
#include <string>
#include <vector>

namespace ccid_test {

// Rule names, as tests name what they expect.
inline constexpr char kRuleHostError[] = "host-error";  // the reader recorded a fault of the host's making
inline constexpr char kRuleCommandWhileOutstanding[] = "command-while-outstanding";
inline constexpr char kRuleSequence[] = "sequence";
inline constexpr char kRuleAnswerWithoutCommand[] = "answer-without-command";
inline constexpr char kRuleBeforeConfiguration[] = "endpoint-before-configuration";
inline constexpr char kRuleAfterUnplug[] = "endpoint-after-unplug";
inline constexpr char kRuleAbortHandshake[] = "abort-handshake";

struct ProtocolFinding {
  std::string rule;    // one of the names above
  std::string detail;  // for a host error, the reader's own text ("command while another is in progress")
  std::size_t message = 0;  // index of the offending message in the trace
  std::string ToString() const;
};

// What the referee judges: the session's messages, the positions in them at which the
// device left the bus (the number of messages before each unplug) and the reader's record
// of host protocol errors (their texts).
struct RefereeInput {
  std::vector<hosted::usb::MessageEvent> trace;
  std::vector<std::size_t> unplugs;
  std::vector<std::string> hostErrors;
};

// The rules:
//  - no reader-recorded host error;
//  - one bulk command outstanding at a time: every PC_to_RDR command is answered (a bulk-in
//    message with its bSeq that is not a time extension) or aborted (the ABORT class
//    request for its slot) before the next command;
//  - the bSeq of each command is the previous command's plus one, modulo 256 (the first
//    command after a SET_CONFIGURATION may have any);
//  - every bulk-in message answers an outstanding command, or is the one answer of a
//    command the ABORT class request ended;
//  - after the ABORT class request for a slot, the next command to that slot is
//    PC_to_RDR_Abort with the request's bSeq;
//  - no transfer on an endpoint other than 0 before a SET_CONFIGURATION with a non-zero
//    value, after SET_CONFIGURATION(0), or after an unplug until the next configuration.
std::vector<ProtocolFinding> RefereeSession(const RefereeInput& input);

}  // namespace ccid_test
