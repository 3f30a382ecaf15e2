// A simulated USB CCID reader: a hosted::usb::Device built from a reader profile, with the
// chapter 9 control machine, the CCID firmware behind its bulk and interrupt
// endpoints, card insertion and removal at any moment, scripted faults, a scripted PIN
// pad and a message-level trace hook.
//
// Contract towards the USB stack that drives it:
//  - Endpoints are those of the profile (by default bulk-in 0x81, bulk-out 0x02,
//    interrupt-in 0x83; bulk packets of 64 bytes, interrupt packets of up to 8).
//  - Bulk-out: a command is one transfer of 64-byte packets; the reader joins them by
//    dwLength (a short packet before that ends the transfer and gets a dwLength error).
//  - Bulk-in: each answer is cut into packets of wMaxPacketSize, with a zero-length
//    packet after an answer whose length is a multiple of it. InPacket returns Nak when
//    nothing is ready. NotifyDataReady(bulk-in) fires whenever an answer (or a time
//    extension of a command in progress) can be read after a Nak: after a command,
//    after an ABORT request, and after the last packet of a message when more is due.
//  - Interrupt-in: one packet per message (NotifySlotChange, HardwareError);
//    NotifyDataReady(interrupt-in) fires when one is queued. The first one follows
//    SET_CONFIGURATION(1) and gives every slot's state. Queued messages that a bus reset,
//    a new configuration or an unplug throws away before the host read them never reach
//    the bus (they are counted as discarded).
//  - Suspend: a resumed reader queues a slot-change message with every slot's state.
//  - Unplug (by Unplug() or a scripted fault): Unplugged() turns true, the unplug
//    callback fires, and every further call is refused (Nak, control Stall) until Plug(),
//    after which the device is new on the bus (unconfigured, cards unpowered).
//  - Callbacks (data ready, unplug, remote wake) are made without the reader's lock,
//    from the thread that caused them; the message observer is called with the lock
//    held, in the order the bus carries the messages (a command when its last packet
//    arrives, an answer or an interrupt message when the host takes its first packet, a
//    control transfer when it ends), and must not call back into the reader.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "card/icc.h"
#include "hosted/usb/device.h"
#include "hosted/usb/message.h"
#include "reader/ccid_firmware.h"
#include "reader/descriptors.h"
#include "reader/pin_pad.h"
#include "reader/reader_faults.h"
#include "reader/reader_profile.h"
#include "reader/usb_ep0.h"

namespace sim {

struct ReaderStats {
  std::uint64_t commands = 0;          // whole bulk-out messages received
  std::uint64_t answers = 0;           // bulk-in messages sent (time extensions included)
  std::uint64_t time_extensions = 0;
  std::uint64_t interrupt_messages = 0;    // queued for the host
  std::uint64_t interrupt_dropped = 0;     // queue full: the oldest went
  std::uint64_t interrupt_discarded = 0;   // thrown away unread by a reset, configuration or unplug
  std::uint64_t control_transfers = 0;
  std::uint64_t control_stalls = 0;
  std::chrono::nanoseconds card_time{0};   // the cards' time on their contacts (see CcidFirmware::CardTime)
};

class CcidReader final : public hosted::usb::Device, private Ep0Listener {
 public:
  explicit CcidReader(ReaderProfile profile);
  // The catalogue profile of that name; throws std::invalid_argument for an unknown one.
  static std::unique_ptr<CcidReader> FromCatalogue(std::string_view name);
  ~CcidReader() override;

  // hosted::usb::Device.
  ControlResult Control(const SetupPacket& setup, std::span<std::uint8_t> data) override;
  Handshake OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override;
  Handshake InPacket(std::uint8_t endpoint, std::vector<std::uint8_t>& packet) override;
  void BusReset() override;
  void ClearHalt(std::uint8_t endpoint) override;
  bool Unplugged() const override;
  void Suspend(bool suspended) override;
  std::optional<std::chrono::nanoseconds> NextTimer() const override;
  void TimerDue() override;

  // Cards, at any moment, from any thread.
  void InsertCard(std::unique_ptr<Icc> card) { InsertCard(0, std::move(card)); }
  void InsertCard(std::uint8_t slot, std::unique_ptr<Icc> card);
  void RemoveCard(std::uint8_t slot = 0);
  // A hardware fault on the slot (code 0x01: over-current): RDR_to_PC_HardwareError.
  void HardwareFault(std::uint8_t slot = 0, std::uint8_t code = 0x01);
  bool CardPresent(std::uint8_t slot = 0) const;
  bool CardPowered(std::uint8_t slot = 0) const;
  std::optional<IccVoltage> CardVoltage(std::uint8_t slot = 0) const;

  // The bus.
  void Unplug();
  void Plug();

  // The PIN pad (see Keypad for the key syntax). On the bus's clock the user presses a
  // key every 400 ms; without a clock the whole script is typed at once.
  void TypeKeys(std::string_view keys);
  // The messages the reader's display showed, in order.
  std::vector<std::string> LcdMessages() const;

  // A hold point for tests that force an interleaving: while answers of bMessageType
  // `type` (0: every answer) are held, the next such answer stays in the reader, ready but
  // not sent (the host's reads are NAKed; time extensions still go out), until the hold
  // ends. A bus reset or an unplug throws a held answer away, as it does a queued one.
  void HoldAnswers(std::uint8_t type, bool hold);
  // The answer the reader keeps under a hold (0 when none), by its bMessageType.
  std::uint8_t HeldAnswer() const;

  // Faults.
  void AddFault(const Fault& fault);
  void AddControlFault(const ControlFault& fault);
  void ClearFaults();
  // A raw interrupt-in message (any bytes, up to the packet size), for hosts that must
  // cope with odd ones; it is queued as the reader's own messages are.
  void InjectInterrupt(ccid::Bytes message);
  std::vector<FaultRecord> FaultsFired() const;
  std::size_t FaultCount(FaultKind kind) const;

  // What the host did: escapes received, its own protocol faults, counters.
  std::vector<ccid::Bytes> EscapesReceived() const;
  std::vector<HostError> HostErrors() const;
  ReaderStats Stats() const;
  void SetEscapeReply(ccid::Bytes request, ccid::Bytes reply, bool prefix = false);

  // Every whole message in both directions, in order (see usb_trace.h).
  void SetMessageObserver(hosted::usb::MessageCallback observer);

  const ReaderProfile& Profile() const { return profile_; }
  const DescriptorSet& Descriptors() const { return descriptors_; }
  std::uint8_t BulkInAddress() const { return bulk_in_ ? bulk_in_->address : 0; }
  std::uint8_t BulkOutAddress() const { return bulk_out_ ? bulk_out_->address : 0; }
  std::uint8_t InterruptInAddress() const { return interrupt_in_ ? interrupt_in_->address : 0; }
  bool Configured() const;
  bool RemoteWakeupEnabled() const;

 private:
  // What to do once the lock is released.
  struct Effects {
    std::vector<std::uint8_t> ready;
    std::optional<bool> unplug;
    bool wake = false;
  };
  struct CommandFaults {
    std::uint8_t slot, seq, type;
    std::vector<Fault> faults;
  };
  struct Packet {
    ccid::Bytes data;
    bool unplug_after = false;
  };

  ControlResult OtherRequest(const SetupPacket& setup, std::span<std::uint8_t> data) override;
  void ConfigurationSet(std::uint8_t value) override;
  void HaltCleared(std::uint8_t endpoint) override;

  void BulkOut(std::span<const std::uint8_t> packet, Effects& fx, Handshake& handshake);
  bool CommandArrived(std::span<const std::uint8_t> message, Effects& fx);
  void Refill(Effects& fx);
  bool AnswerHeld(std::uint8_t type) const;
  void QueueAnswer(const ccid::Bytes& message);
  void QueueInterrupt(ccid::Bytes message, Effects& fx);
  void SlotEvent(Effects& fx);
  void NoteOutput(Effects& fx);
  void UnplugLocked(Effects& fx);
  void ResetTransport();
  void Trace(hosted::usb::TransferType type, bool in, std::uint8_t endpoint, const ccid::Bytes& data);
  void Fire(const Effects& fx);
  std::optional<ControlResult> ControlFaultBefore(const SetupPacket& setup, std::span<std::uint8_t> data,
                                                  std::optional<std::size_t>& truncate);

  const ReaderProfile profile_;
  const DescriptorSet descriptors_;
  const EndpointConfig* bulk_in_;
  const EndpointConfig* bulk_out_;
  const EndpointConfig* interrupt_in_;

  mutable std::mutex lock_;
  Keypad keypad_;
  UsbEp0 ep0_;
  CcidFirmware firmware_;
  FaultScript faults_;
  std::vector<FaultRecord> fired_;
  std::vector<CommandFaults> armed_;  // faults waiting for their command's answer
  struct CardPull {
    std::uint8_t slot;
    std::uint32_t extensions_left;  // time extensions still to go out before the card goes
  };
  std::optional<CardPull> pull_;
  std::vector<ControlFault> control_faults_;
  ccid::Bytes rx_;                    // bulk-out bytes of the message being received
  bool rx_oversize_ = false;
  std::deque<Packet> in_packets_;
  std::vector<std::uint8_t> answer_holds_;   // bMessageTypes held (0: every answer)
  std::optional<ccid::Bytes> held_answer_;  // the answer kept under a hold
  std::deque<ccid::Bytes> interrupt_;
  bool unplugged_ = false;
  bool suspended_ = false;
  ReaderStats stats_;
  hosted::usb::MessageCallback observer_;
  std::uint64_t trace_index_ = 0;
};

}  // namespace sim
