// Fault matching and the rewriting of an answer by its faults.
#include "reader/reader_faults.h"

#include <algorithm>

namespace sim {

std::string_view FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::NoAnswer: return "no answer";
    case FaultKind::StaleAnswerFirst: return "stale answer first";
    case FaultKind::FutureAnswer: return "answer from the future";
    case FaultKind::WrongMessageType: return "wrong message type";
    case FaultKind::WrongSlot: return "wrong slot";
    case FaultKind::ErrorCode: return "error code";
    case FaultKind::TimeExtensions: return "time extensions";
    case FaultKind::ShortPayload: return "fewer bytes than dwLength";
    case FaultKind::LongPayload: return "more bytes than dwLength";
    case FaultKind::NoZeroLengthPacket: return "missing zero-length packet";
    case FaultKind::StallBulkIn: return "bulk-in stall";
    case FaultKind::StallBulkOut: return "bulk-out stall";
    case FaultKind::Garbage: return "garbage";
    case FaultKind::UnplugMidAnswer: return "unplug in the middle of the answer";
    case FaultKind::UnplugOnCommand: return "unplug on command";
    case FaultKind::CorruptToCard: return "byte garbled towards the card";
    case FaultKind::CorruptToHost: return "byte garbled towards the host";
    case FaultKind::Control: return "control request fault";
    case FaultKind::CardPulled: return "card pulled out during the command";
    case FaultKind::LengthLie: return "dwLength unlike the bytes sent";
    case FaultKind::StatusAndError: return "bStatus and bError of another answer";
    case FaultKind::ZeroLengthAnswer: return "zero-length packet for an answer";
  }
  return "?";
}

std::vector<Fault> FaultScript::Take(std::uint8_t command) {
  std::vector<Fault> fired;
  for (auto& a : faults_) {
    if (a.fault.match != 0 && a.fault.match != command) continue;
    if (a.skip > 0) {
      --a.skip;
      continue;
    }
    fired.push_back(a.fault);
    if (a.times > 0 && --a.times == 0) a.used_up = true;
  }
  std::erase_if(faults_, [](const Armed& a) { return a.used_up; });
  return fired;
}

namespace {

std::uint8_t OtherType(std::uint8_t type) {
  return type == ccid::kDataBlock ? ccid::kSlotStatus : ccid::kDataBlock;
}

}  // namespace

FaultedAnswer ApplyAnswerFaults(const ccid::Bytes& answer, const std::vector<Fault>& faults) {
  FaultedAnswer out;
  ccid::Bytes m = answer;
  for (const Fault& f : faults) {
    switch (f.kind) {
      case FaultKind::NoAnswer:
        return {};
      case FaultKind::StallBulkIn:
        out.stall = true;
        return out;
      case FaultKind::StaleAnswerFirst: {
        ccid::Bytes payload(f.value);
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(0x5A ^ i);
        out.messages.push_back(ccid::BuildMessage(m[0], m[5], static_cast<std::uint8_t>(m[6] - 1), 0, 0, 0, payload));
        break;
      }
      case FaultKind::FutureAnswer:
        m[6] = static_cast<std::uint8_t>(m[6] + 1);
        break;
      case FaultKind::WrongMessageType:
        m[0] = OtherType(m[0]);
        break;
      case FaultKind::WrongSlot:
        m[5] = static_cast<std::uint8_t>(m[5] + 1);
        break;
      case FaultKind::ErrorCode:
        m = ccid::BuildMessage(m[0], m[5], m[6], static_cast<std::uint8_t>(0x40 | (m[7] & 3)),
                               static_cast<std::uint8_t>(f.value), 0);
        break;
      case FaultKind::ShortPayload:
        m.resize(m.size() - std::min<std::size_t>(f.value, m.size() - ccid::kHeaderSize));
        break;
      case FaultKind::LongPayload:
        m.insert(m.end(), f.value, 0xEE);
        break;
      case FaultKind::NoZeroLengthPacket:
        out.skip_zero_length_packet = true;
        break;
      case FaultKind::Garbage:
        m.assign(f.value == 0 ? 7 : f.value, 0);
        for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(0xF7 - 37 * i);
        break;
      case FaultKind::UnplugMidAnswer:
        out.unplug_after_packets = f.value;
        break;
      case FaultKind::LengthLie:
        for (int i = 0; i < 4; ++i) m[1 + i] = static_cast<std::uint8_t>(f.value >> (8 * i));
        break;
      case FaultKind::StatusAndError:
        m[7] = static_cast<std::uint8_t>(f.value);
        m[8] = static_cast<std::uint8_t>(f.value >> 8);
        break;
      case FaultKind::ZeroLengthAnswer:
        m.clear();
        break;
      case FaultKind::TimeExtensions:
      case FaultKind::StallBulkOut:
      case FaultKind::UnplugOnCommand:
      case FaultKind::CorruptToCard:
      case FaultKind::CorruptToHost:
      case FaultKind::Control:
      case FaultKind::CardPulled:
        break;  // these act on the command, not on its answer
    }
  }
  out.messages.push_back(std::move(m));
  return out;
}

}  // namespace sim
