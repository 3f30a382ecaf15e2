// The CCID reader firmware: slots and their cards, the bulk command set, the class
// requests, the abort handshake and the interrupt messages. It sees whole messages,
// never packets; the transport (CcidReader) cuts and joins those.
//
// A command is answered at once, or stays in progress while the card or the user is
// slow: the firmware then hands out one time extension each time the host has read
// everything before, and the answer after the last one. Only one command is in
// progress at a time (bMaxCCIDBusySlots 1): another command meanwhile is answered with
// CMD_SLOT_BUSY, and the ABORT class request with PC_to_RDR_Abort ends it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "card/icc.h"
#include "hosted/usb/device.h"
#include "iso7816/t1_host.h"
#include "reader/ccid_wire.h"
#include "reader/icc_link.h"
#include "reader/pin_pad.h"
#include "reader/reader_profile.h"

namespace sim {

// The USB device interface of the hosted bus that the simulated reader implements.
using hosted::usb::ControlResult;
using hosted::usb::Handshake;
using hosted::usb::SetupPacket;

// A fault of the host's own making that the firmware noticed and answered.
struct HostError {
  std::uint8_t message_type = 0;
  std::uint8_t seq = 0;
  std::string what;
};

class CcidFirmware {
 public:
  static constexpr std::size_t kMaxSlots = 8;

  // `clock` is the reader's time; without one (or while it gives nothing) a PIN entry
  // takes the whole keypad script at once.
  using ClockFunction = std::function<std::optional<std::chrono::nanoseconds>()>;
  CcidFirmware(const ReaderProfile& profile, Keypad& keypad, ClockFunction clock = {});
  ~CcidFirmware();

  // A whole bulk-out message. Its answer (or first time extension) becomes available
  // from NextOutput(); `extra_waits` time extensions go before the answer; `noise`
  // garbles bytes on the card's I/O line while the command runs.
  void Command(std::span<const std::uint8_t> message, std::uint32_t extra_waits = 0, LineNoise noise = {});

  // A bulk-out transfer that ended before dwLength said it would (a short packet), or a
  // message longer than dwMaxCCIDMessageLength: answered with a dwLength error.
  void BadLength(std::span<const std::uint8_t> header);

  // Records a fault of the host's making that needs no answer of its own.
  void NoteHostError(const ccid::Header& h, std::string what);

  // The next message for the bulk-in pipe, if one is ready.
  std::optional<ccid::Bytes> NextOutput();
  bool HasOutput() const;

  // The card's time on its contacts, on the reader's clock: every character at the rate
  // in force (ETU = F/D clock cycles at dwDefaultClock, a character frame of 12 ETU plus
  // the extra guard time N; N = 255 is 12 ETU for T=0 and 11 for T=1), the answer to
  // reset at the default rate after the reset's 40,400 clock cycles, a PPS exchange at
  // the default rate, and the waits the card asks for: a work waiting time (960 x WI x
  // Fi clock cycles) for each T=0 NULL byte, the multiplier of a block waiting time
  // (11 ETU + 2^BWI x 960 x 372 clock cycles) for each T=1 S(WTX). The answer to a
  // command (and each of its time extensions, spread over it) goes out once that time
  // has passed. Total since the reader was made.
  std::chrono::nanoseconds CardTime() const { return card_time_; }
  bool Busy() const { return pending_.has_value() || pin_.has_value(); }

  // The PIN entry on the reader's clock: when the firmware next has something to do (a
  // key, the entry's time-out, a time extension), doing it, and keys typed meanwhile.
  std::optional<std::chrono::nanoseconds> NextTimer() const;
  void TimerDue();
  void KeysTyped();
  // What the reader's display showed, in order.
  const std::vector<std::string>& LcdMessages() const { return lcd_; }

  // Class requests to the smart-card interface (ABORT, GET_CLOCK_FREQUENCIES,
  // GET_DATA_RATES, GET_DESCRIPTOR of the class descriptor).
  ControlResult ClassRequest(const SetupPacket& setup, std::span<std::uint8_t> data);

  // Card events. Insertion and removal mark the slot changed; the transport asks for
  // the slot-change message when it can send one. A hardware fault (for example an
  // over-current, code 0x01) cuts the card's power and returns RDR_to_PC_HardwareError.
  void InsertCard(std::uint8_t slot, std::unique_ptr<Icc> card);
  void RemoveCard(std::uint8_t slot);
  ccid::Bytes HardwareError(std::uint8_t slot, std::uint8_t code);

  // RDR_to_PC_NotifySlotChange for the slots changed since the last one, if any.
  std::optional<ccid::Bytes> TakeSlotChange();
  // After configuration: every slot's state, a card counting as a change (the host
  // assumes empty slots until told). Always a message.
  ccid::Bytes InitialSlotChange();

  // Port reset or unplug: cards powered off, command in progress and outputs dropped.
  void Reset();

  bool CardPresent(std::uint8_t slot) const;
  bool CardPowered(std::uint8_t slot) const;
  std::optional<IccVoltage> Voltage(std::uint8_t slot) const;
  Icc* Card(std::uint8_t slot) const;

  const std::vector<ccid::Bytes>& EscapesReceived() const { return escapes_; }
  const std::vector<HostError>& HostErrors() const { return host_errors_; }
  void SetEscapeReply(ccid::Bytes request, ccid::Bytes reply, bool prefix);

 private:
  struct T0Params {
    std::uint8_t fidi = 0x11, tcckst = 0x00, guard = 0, wi = 0x0A, clock_stop = 0;
  };
  struct T1Params {
    std::uint8_t fidi = 0x11, tcckst = 0x10, guard = 0, bwi_cwi = 0x4D, clock_stop = 0, ifsc = 0x20, nad = 0;
  };
  struct Slot {
    std::unique_ptr<Icc> card;
    bool powered = false;
    IccVoltage voltage = IccVoltage::V5_0;
    std::uint8_t protocol = 0;
    T0Params t0;
    T1Params t1;
    bool clock_stopped = false;
    bool changed = false;       // since the last slot-change message
    ccid::Bytes atr;
    ccid::Bytes command_chain;  // extended APDU: parts received so far
    bool chaining_in = false;
    ccid::Bytes response_rest;  // extended APDU: answer parts not yet sent
    std::unique_ptr<iso7816::T1HostEngine> t1_engine;  // APDU level: the T=1 session
    std::uint8_t rate = 0x11;   // Fi/Di on the contacts: the default until parameters set one
  };
  struct Pending {
    std::uint8_t command = 0, slot = 0, seq = 0;
    std::uint32_t waits = 0;
    ccid::Bytes answer;
    // On the reader's clock: when the next time extension and the answer may go out.
    std::chrono::nanoseconds next_extension{0}, step{0}, answer_at{0};
  };
  // An answer with its cost in time extensions; deferred: the answer comes later, on
  // the reader's clock.
  struct Outcome {
    ccid::Bytes answer;
    std::uint32_t waits = 0;
    bool deferred = false;
  };
  // A PC_to_RDR_Secure as the reader understood it.
  struct PinJob {
    ccid::Header h;
    std::uint8_t op = 0, confirm = 0, offset_old = 0, offset_new = 0;
    PinBlockFormat format;
    PinEntryRules rules;
    std::chrono::nanoseconds timeout{0};
    ccid::Bytes prologue, apdu;
    std::vector<std::uint8_t> prompts;  // message index of each entry, when one is shown
    std::size_t entries = 1;
  };
  // A PIN entry in progress on the reader's clock.
  struct PinSession {
    PinJob job;
    PinEntryState entry;
    std::vector<std::string> pins;
    std::chrono::nanoseconds deadline{0}, next_key{0}, next_extension{0};
  };

  Outcome Dispatch(const ccid::Header& h, std::span<const std::uint8_t> payload);
  Outcome PowerOn(const ccid::Header& h);
  Outcome PowerOff(const ccid::Header& h);
  Outcome SlotStatus(const ccid::Header& h);
  Outcome SetParameters(const ccid::Header& h, std::span<const std::uint8_t> payload);
  Outcome GetParameters(const ccid::Header& h, bool reset);
  Outcome XfrBlock(const ccid::Header& h, std::span<const std::uint8_t> payload);
  Outcome XfrExtended(const ccid::Header& h, std::span<const std::uint8_t> payload);
  Outcome Secure(const ccid::Header& h, std::span<const std::uint8_t> payload);
  Outcome Escape(const ccid::Header& h, std::span<const std::uint8_t> payload);
  Outcome IccClock(const ccid::Header& h);
  std::optional<PinJob> ParsePin(const ccid::Header& h, std::span<const std::uint8_t> p, Outcome& refused);
  Outcome FinishPin(const PinJob& job, const std::vector<std::string>& pins, std::uint32_t waits);
  void StartEntry(PinSession& session, std::chrono::nanoseconds now);
  void EndEntry(PinOutcome outcome, std::chrono::nanoseconds now);
  void ShowPrompt(const PinJob& job, std::size_t entry);
  void AbortCommand(const ccid::Header& h);

  // The card exchanges of each level: the reader's answer data, waits and error.
  struct Exchange {
    ccid::Bytes data;
    std::uint32_t waits = 0;
    std::uint8_t error = 0;
  };
  Exchange Tpdu(Slot& s, std::span<const std::uint8_t> tpdu);
  Exchange Apdu(Slot& s, std::span<const std::uint8_t> apdu);
  Exchange ApduT0(Slot& s, std::span<const std::uint8_t> apdu);
  Exchange ApduT1(Slot& s, std::span<const std::uint8_t> apdu);
  Exchange SecureToCard(Slot& s, const ccid::Bytes& apdu, std::span<const std::uint8_t> prologue);

  void DefaultParameters(Slot& s);
  ccid::Bytes ParametersPayload(const Slot& s) const;
  std::uint8_t IccStatusOf(std::uint8_t slot) const;
  ccid::Bytes Failure(const ccid::Header& h, std::uint8_t error) const;
  ccid::Bytes Failure(const ccid::Header& h, std::uint8_t error, std::uint8_t icc) const;
  ccid::Bytes DataBlock(const ccid::Header& h, std::span<const std::uint8_t> data, std::uint8_t chain = 0) const;
  ccid::Bytes TimeExtension(const Pending& p) const;
  ccid::Bytes SlotChange();
  void EndPending(std::uint8_t slot, std::uint8_t error, std::uint8_t icc);
  bool SlotExists(std::uint8_t slot) const { return slot <= profile_.MaxSlotIndex() && slot < kMaxSlots; }

  // Card time (see CardTime): `etus` ETU at a Fi/Di; characters and waits on a slot.
  std::chrono::nanoseconds EtuTime(std::uint64_t etus, std::uint8_t fidi) const;
  std::chrono::nanoseconds CyclesTime(std::uint64_t cycles) const;
  void ChargeCharacters(const Slot& s, std::uint64_t characters);
  void ChargeWaits(const Slot& s, std::uint32_t nulls, std::uint32_t wtx_multiples);
  bool Released(std::chrono::nanoseconds at) const;

  enum class Level { Character, Tpdu, ShortApdu, ExtendedApdu };
  Level ExchangeLevel() const;

  const ReaderProfile& profile_;
  Keypad& keypad_;
  std::array<Slot, kMaxSlots> slots_;
  std::optional<Pending> pending_;
  ClockFunction clock_;
  std::optional<PinSession> pin_;
  std::vector<std::string> lcd_;
  std::deque<ccid::Bytes> ready_;
  // Abort handshake: the class request seen (slot, seq) and a bulk Abort waiting for it.
  std::optional<std::pair<std::uint8_t, std::uint8_t>> abort_request_;
  std::optional<ccid::Header> abort_waiting_;
  std::uint8_t last_seq_[kMaxSlots] = {};
  std::vector<ccid::Bytes> escapes_;
  std::vector<HostError> host_errors_;
  std::vector<EscapeReply> escape_replies_;
  LineNoise noise_;  // of the command being dispatched
  std::chrono::nanoseconds line_time_{0};  // card time of the command being dispatched
  std::chrono::nanoseconds card_time_{0};
  std::chrono::nanoseconds hold_until_{0};  // the queued answers go out from then on
};

}  // namespace sim
