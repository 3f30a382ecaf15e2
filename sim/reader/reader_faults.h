// Faults a test scripts into the simulated reader, per command message (matched by
// its type, after letting a number of matching ones through) or per transfer. Each
// fault that fires is counted and recorded; nothing is printed.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "reader/ccid_wire.h"

namespace sim {

enum class FaultKind : std::uint8_t {
  NoAnswer,          // the command is swallowed: no answer ever comes
  StaleAnswerFirst,  // an answer with bSeq one below goes first; value: its payload length
  FutureAnswer,      // the answer carries bSeq one above the command's
  WrongMessageType,  // the answer has another bMessageType (DataBlock <-> SlotStatus ...)
  WrongSlot,         // the answer names the next slot
  ErrorCode,         // the answer fails with bError = value (0xFE ICC_MUTE, 0xFB HW_ERROR,
                     // 0xF0 PIN_TIMEOUT, 0xEF PIN cancelled, 0 command not supported ...)
  TimeExtensions,    // value time extensions before the answer
  ShortPayload,      // value payload bytes fewer than dwLength announces
  LongPayload,       // value bytes more than dwLength announces
  NoZeroLengthPacket,  // an answer ending on a packet boundary lacks its zero-length packet
  StallBulkIn,       // the bulk-in endpoint halts instead of answering (answer lost)
  StallBulkOut,      // the command's last packet is refused with a stall (command lost)
  Garbage,           // the answer is replaced by value bytes that are no CCID message
  UnplugMidAnswer,   // the reader leaves the bus after sending value packets of the answer
  UnplugOnCommand,   // the reader leaves the bus when the command arrives
  CorruptToCard,     // the value-th byte (from 1) the reader sends the card for the command
                     // arrives with its low bit flipped (an unnoticed parity error)
  CorruptToHost,     // the same for the value-th byte the card sends back for the command
  Control,           // a ControlFault on the default pipe (record: bRequest, bSeq 0)
  CardPulled,        // the card leaves the slot while the reader works on the command,
                     // after value (at least 1) time extensions: the command ends as the
                     // reader ends any on a card pulled out (ICC_MUTE, no ICC) and the
                     // slot change follows on the interrupt pipe
  LengthLie,         // the answer's dwLength says value, whatever bytes it carries
  StatusAndError,    // the answer's bStatus is the value's low byte, bError its next one
  ZeroLengthAnswer,  // a zero-length packet comes in place of the answer
};

std::string_view FaultName(FaultKind kind);

struct Fault {
  FaultKind kind = FaultKind::NoAnswer;
  std::uint32_t value = 0;
  std::uint8_t match = 0;      // bMessageType of the command it applies to; 0: any command
  std::uint32_t skip = 0;      // matching commands let through before it fires
  std::uint32_t times = 1;     // matching commands it applies to; 0: all from then on
};

// A fault on the default pipe, for the next request with this bRequest (and wValue,
// unless 0xFFFF): a stall, a data stage cut to `length` bytes, or `data` returned in
// place of the real answer (cut to wLength), for example a malformed descriptor.
struct ControlFault {
  enum class Action : std::uint8_t { Stall, Truncate, Replace };
  std::uint8_t request = 6;
  std::uint16_t value = 0xFFFF;
  Action action = Action::Stall;
  std::size_t length = 0;
  ccid::Bytes data;
  std::uint32_t times = 1;  // 0: every matching request
};

// One fault that fired, on the command of this type and sequence number.
struct FaultRecord {
  FaultKind kind;
  std::uint8_t command = 0;
  std::uint8_t seq = 0;
};

class FaultScript {
 public:
  void Add(const Fault& fault) { faults_.push_back({fault, fault.skip, fault.times, false}); }
  void Clear() { faults_.clear(); }
  bool Empty() const { return faults_.empty(); }

  // The faults that fire on this command; one-shot faults are used up.
  std::vector<Fault> Take(std::uint8_t command);

 private:
  struct Armed {
    Fault fault;
    std::uint32_t skip;
    std::uint32_t times;  // 0: unlimited
    bool used_up;
  };
  std::vector<Armed> faults_;
};

// The answer as the faults leave it: possibly preceded by a stale one, possibly gone.
struct FaultedAnswer {
  std::vector<ccid::Bytes> messages;  // in order; empty: nothing is sent
  bool skip_zero_length_packet = false;
  bool stall = false;                 // halt bulk-in instead of sending anything
  std::int64_t unplug_after_packets = -1;  // >= 0: leave the bus after that many packets
};

FaultedAnswer ApplyAnswerFaults(const ccid::Bytes& answer, const std::vector<Fault>& faults);

}  // namespace sim
