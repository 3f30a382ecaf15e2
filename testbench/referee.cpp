#include "referee.h"

#include <cstdio>
#include <optional>

namespace ccid_test {
namespace {

using hosted::usb::Handshake;
using hosted::usb::MessageEvent;
using hosted::usb::TransferType;

// CCID bulk message header: bMessageType, dwLength, bSlot, bSeq, then bStatus in answers.
constexpr std::size_t kHeaderSize = 10;
constexpr std::size_t kSlotOffset = 5;
constexpr std::size_t kSeqOffset = 6;
constexpr std::size_t kStatusOffset = 7;
constexpr std::uint8_t kTimeExtension = 2;  // bmCommandStatus, bits 7..6 of bStatus

constexpr std::uint8_t kStandardDeviceOut = 0x00;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kClassInterfaceOut = 0x21;
constexpr std::uint8_t kCcidAbort = 1;
constexpr std::uint8_t kPcToRdrAbort = 0x72;

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%02X", value);
  return text;
}

struct Command {
  std::uint8_t slot;
  std::uint8_t seq;
  std::size_t message;
};

class Referee {
 public:
  explicit Referee(const RefereeInput& input) : input_(input) {}

  std::vector<ProtocolFinding> Run() {
    for (const std::string& error : input_.hostErrors) findings_.push_back({kRuleHostError, error, 0});
    std::size_t unplug = 0;
    for (std::size_t i = 0; i < input_.trace.size(); ++i) {
      for (; unplug < input_.unplugs.size() && input_.unplugs[unplug] <= i; ++unplug) Unplugged();
      Message(i, input_.trace[i]);
    }
    return findings_;
  }

 private:
  void Unplugged() {
    configured_ = false;
    gone_ = true;
    outstanding_.reset();
    lastSeq_.reset();
  }

  void Message(std::size_t index, const MessageEvent& event) {
    if ((event.endpoint & 0x7F) == 0) {
      Control(event);
      return;
    }
    if (!configured_) {
      Find(gone_ ? kRuleAfterUnplug : kRuleBeforeConfiguration, "a message on endpoint " + Hex(event.endpoint),
           index);
    }
    if (event.type != TransferType::Bulk || event.data.size() < kHeaderSize) return;
    if (event.in) {
      Answer(index, event.data);
    } else {
      NewCommand(index, event.data);
    }
  }

  void Control(const MessageEvent& event) {
    if (event.handshake != Handshake::Ack) return;
    const auto& setup = event.setup;
    if (setup.bmRequestType == kStandardDeviceOut && setup.bRequest == kSetConfiguration) {
      configured_ = setup.wValue != 0;
      gone_ = false;
      outstanding_.reset();
      lastSeq_.reset();
    } else if (setup.bmRequestType == kClassInterfaceOut && setup.bRequest == kCcidAbort) {
      const std::uint8_t slot = setup.wValue & 0xFF;
      if (outstanding_ && outstanding_->slot == slot) {
        aborted_ = outstanding_;
        outstanding_.reset();
      }
      abortRequest_ = Command{slot, static_cast<std::uint8_t>(setup.wValue >> 8), 0};
    }
  }

  // The command after an ABORT request must be the PC_to_RDR_Abort that completes it.
  void CheckAbortHandshake(std::size_t index, const std::vector<std::uint8_t>& data) {
    if (!abortRequest_ || abortRequest_->slot != data[kSlotOffset]) return;
    if (data[0] != kPcToRdrAbort || data[kSeqOffset] != abortRequest_->seq) {
      Find(kRuleAbortHandshake,
           "command " + Hex(data[0]) + " bSeq " + Hex(data[kSeqOffset]) + " after the ABORT request with bSeq " +
               Hex(abortRequest_->seq) + " instead of PC_to_RDR_Abort",
           index);
    }
    abortRequest_.reset();
    aborted_.reset();
  }

  void NewCommand(std::size_t index, const std::vector<std::uint8_t>& data) {
    const Command command{data[kSlotOffset], data[kSeqOffset], index};
    CheckAbortHandshake(index, data);
    if (outstanding_) {
      Find(kRuleCommandWhileOutstanding,
           "command " + Hex(data[0]) + " bSeq " + Hex(command.seq) + " sent while bSeq " + Hex(outstanding_->seq) +
               " (message " + std::to_string(outstanding_->message) + ") is neither answered nor aborted",
           index);
    }
    if (lastSeq_ && command.seq != static_cast<std::uint8_t>(*lastSeq_ + 1)) {
      Find(kRuleSequence,
           "command " + Hex(data[0]) + " has bSeq " + Hex(command.seq) + " after " + Hex(*lastSeq_), index);
    }
    lastSeq_ = command.seq;
    outstanding_ = command;
  }

  void Answer(std::size_t index, const std::vector<std::uint8_t>& data) {
    const std::uint8_t seq = data[kSeqOffset];
    if (aborted_ && aborted_->seq == seq && aborted_->slot == data[kSlotOffset]) {
      if ((data[kStatusOffset] >> 6) != kTimeExtension) aborted_.reset();
      return;
    }
    if (!outstanding_ || outstanding_->seq != seq || outstanding_->slot != data[kSlotOffset]) {
      Find(kRuleAnswerWithoutCommand, "answer " + Hex(data[0]) + " bSeq " + Hex(seq) + " to no outstanding command",
           index);
      return;
    }
    if ((data[kStatusOffset] >> 6) != kTimeExtension) outstanding_.reset();
  }

  void Find(const char* rule, std::string detail, std::size_t index) {
    findings_.push_back({rule, std::move(detail), index});
  }

  const RefereeInput& input_;
  std::vector<ProtocolFinding> findings_;
  bool configured_ = false;
  bool gone_ = false;
  std::optional<Command> outstanding_;
  std::optional<Command> aborted_;       // ended by the ABORT request; its answer may still come
  std::optional<Command> abortRequest_;  // slot and bSeq of the ABORT request awaiting PC_to_RDR_Abort
  std::optional<std::uint8_t> lastSeq_;
};

}  // namespace

std::string ProtocolFinding::ToString() const {
  if (rule == kRuleHostError) return rule + ": the reader recorded \"" + detail + "\"";
  return rule + " at message " + std::to_string(message) + ": " + detail;
}

std::vector<ProtocolFinding> RefereeSession(const RefereeInput& input) { return Referee(input).Run(); }

}  // namespace ccid_test
