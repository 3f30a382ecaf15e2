// A simulated card in a simulated CCID reader on the hosted USB stack, driven the way a
// host drives it: CCID messages in bulk URBs (verifier on), with the ISO/IEC 7816 host
// engines on top at the reader's exchange level. At TPDU level the host runs T=0 and
// T=1 itself, one XfrBlock per TPDU or block; at APDU level the reader runs them and the
// host sends whole APDUs.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card/card.h"
#include "card/sim_card.h"
#include "iso7816/atr.h"
#include "iso7816/t1_block.h"
#include "iso7816/t1_host.h"
#include "usb_bench.h"

namespace cardlink {

using iso7816::Bytes;

Bytes Hex(std::string_view text);

// Everything that crossed the card's I/O line, chunk by chunk, in both directions.
struct LineRecord {
  bool to_card = false;
  Bytes bytes;
};

// A card that keeps a log of its line while the reader talks to it.
class LoggedCard final : public sim::Icc {
 public:
  explicit LoggedCard(std::unique_ptr<sim::SimCard> card) : card_(std::move(card)) {}

  std::string_view Name() const override { return card_->Name(); }
  std::optional<sim::Bytes> ColdReset(sim::IccVoltage voltage) override { return card_->ColdReset(voltage); }
  std::optional<sim::Bytes> WarmReset() override { return card_->WarmReset(); }
  void Deactivate() override { card_->Deactivate(); }
  bool Active() const override { return card_->Active(); }
  bool SetParameters(int protocol, std::uint8_t fidi) override { return card_->SetParameters(protocol, fidi); }
  void Write(std::span<const std::uint8_t> bytes) override;
  sim::Bytes Read() override;

  sim::SimCard& Card() { return *card_; }
  std::vector<LineRecord> Line() const { return line_; }
  void ClearLine() { line_.clear(); }

 private:
  std::unique_ptr<sim::SimCard> card_;
  std::vector<LineRecord> line_;
};

// One answer as the host read it from the bulk-in pipe.
struct Answer {
  Bytes message;            // the whole message; empty when nothing came
  int time_extensions = 0;  // time-extension messages read before it

  bool Arrived() const { return message.size() >= 10; }
  std::uint8_t Type() const { return Arrived() ? message[0] : 0; }
  std::uint8_t Status() const { return Arrived() ? message[7] : 0xFF; }
  std::uint8_t Error() const { return Arrived() ? message[8] : 0xFF; }
  std::uint8_t Chain() const { return Arrived() ? message[9] : 0xFF; }
  bool Ok() const { return Arrived() && (message[7] >> 6) == 0; }
  Bytes Data() const { return Arrived() ? Bytes(message.begin() + 10, message.end()) : Bytes(); }
};

std::string Describe(const Answer& answer);

// A reader of the catalogue with a card of a profile in its slot, configured over URBs.
class CardLink {
 public:
  CardLink(const char* reader, const sim::CardProfile& card);
  CardLink(const char* reader, const char* card);

  // One command message with the next bSeq; its answer after any time extensions.
  Answer Send(std::uint8_t type, const Bytes& payload = {}, std::uint8_t b7 = 0, std::uint16_t level = 0);
  // PC_to_RDR_IccPowerOn; a successful one is remembered with its parsed ATR.
  Answer PowerOn(std::uint8_t select = 0);
  Answer PowerOff() { return Send(0x63); }
  Answer GetParameters() { return Send(0x6C); }
  // PC_to_RDR_SetParameters with the structure of CCID for T=0 (5 bytes) or T=1 (7 bytes).
  Answer SetParameters(int protocol, const Bytes& structure) {
    return Send(0x61, structure, static_cast<std::uint8_t>(protocol));
  }
  // The parameters this card announces, as a host would select them (Fi/Di from TA1).
  Answer SelectProtocol(int protocol);
  Answer Xfr(const Bytes& data, std::uint8_t bwi = 0, std::uint16_t level = 0) {
    return Send(0x6F, data, bwi, level);
  }
  Answer Secure(const Bytes& pin_operation) { return Send(0x69, pin_operation); }

  // Every command message the host sent, in order.
  const std::vector<Bytes>& Sent() const { return sent_; }
  const Bytes& Atr() const { return atr_; }
  const iso7816::Atr& ParsedAtr() const { return parsed_atr_; }

  sim::CcidReader& Reader() { return *bench_.reader; }
  usb_test::Bench& Bench() { return bench_; }
  sim::SimCard& Card() { return logged_->Card(); }
  LoggedCard& Line() { return *logged_; }
  sim::CardFaults& CardFaults() { return logged_->Card().Faults(); }
  const sim::CardCounters& CardCounters() { return logged_->Card().Counters(); }
  sim::CardApplication& Application() { return logged_->Card().Application(); }

 private:
  usb_test::Bench bench_;
  LoggedCard* logged_ = nullptr;  // owned by the reader's slot
  std::uint8_t seq_ = 0;
  std::vector<Bytes> sent_;
  Bytes atr_;
  iso7816::Atr parsed_atr_;
};

// Host side at TPDU level for T=0, as the smart-card library does it: the APDU engine's
// TPDUs, each in one XfrBlock; NULL procedure bytes come back as time extensions.
struct T0Outcome {
  std::optional<Bytes> response;  // data + SW1 SW2
  std::vector<Bytes> tpdus;       // as sent
  int time_extensions = 0;
  std::string error;
};
T0Outcome TransmitT0(CardLink& link, const Bytes& apdu);

// Host side at TPDU level for T=1: one engine per card session, each block in one
// XfrBlock with bBWI set to the card's last time-extension request; a failed XfrBlock
// (the reader heard nothing from the card) counts as silence within BWT.
class T1Host {
 public:
  // IFSC and the EDC come from the ATR the link read; IFSD as given.
  explicit T1Host(CardLink& link, std::uint8_t ifsd = 254, iso7816::T1HostConfig tweaks = {});

  // The response APDU, or nothing with Error() set.
  std::optional<Bytes> Transmit(const Bytes& apdu);
  // One block exchange, for tests that drive the engine themselves.
  iso7816::T1HostEngine::Status Exchange();

  iso7816::T1HostEngine& Engine() { return engine_; }
  const std::string& Error() const { return engine_.Error(); }
  // Every block the host sent and the card returned, decoded, in order.
  const std::vector<iso7816::Block>& SentBlocks() const { return sent_; }
  const std::vector<iso7816::Block>& ReceivedBlocks() const { return received_; }
  const std::vector<std::uint8_t>& ReaderErrors() const { return reader_errors_; }

 private:
  CardLink& link_;
  iso7816::Edc edc_;
  iso7816::T1HostEngine engine_;
  std::vector<iso7816::Block> sent_;
  std::vector<iso7816::Block> received_;
  std::vector<std::uint8_t> reader_errors_;
};

// Whole APDUs to the card at the reader's exchange level: at TPDU level through the
// host's T=0 or T=1 engine (by the protocol the reader has set), at APDU level in one
// XfrBlock each.
class Channel {
 public:
  // `ifsd` at TPDU level with T=1; 0: the reader's dwMaxIFSD (at most 254).
  explicit Channel(CardLink& link, std::uint8_t ifsd = 0);

  std::optional<Bytes> Transmit(const Bytes& apdu);
  bool TpduLevel() const { return tpdu_; }
  int Protocol() const { return protocol_; }

  // bTeoPrologue for a PIN command sent now: at TPDU level with T=1 the prologue of the
  // host's next I-block (NAD 0, its N(S)); zeros otherwise.
  std::array<std::uint8_t, 3> Prologue() const;
  // The card's response APDU to a PIN command. At TPDU level with T=1 the reader returns
  // the card's whole block: its INF is the response, and the host's session, now one
  // exchange behind the card, is put back in step with S(RESYNCH).
  std::optional<Bytes> PinResponse(const Answer& answer);

 private:
  CardLink& link_;
  bool tpdu_ = false;
  int protocol_ = 0;
  std::uint8_t ifsd_ = 0;
  std::unique_ptr<T1Host> t1_;
};

// PC/SC part 10 PIN_VERIFY_STRUCTURE, as an application fills it.
struct PinVerifyStructure {
  std::uint8_t bTimerOut = 0;
  std::uint8_t bTimerOut2 = 0;
  std::uint8_t bmFormatString = 0;
  std::uint8_t bmPINBlockString = 0;
  std::uint8_t bmPINLengthFormat = 0;
  std::uint16_t wPINMaxExtraDigit = 0x0408;  // minimum 4, maximum 8 digits
  std::uint8_t bEntryValidationCondition = 0x02;
  std::uint8_t bNumberMessage = 0x01;
  std::uint16_t wLangId = 0x0409;
  std::uint8_t bMsgIndex = 0;
  std::array<std::uint8_t, 3> bTeoPrologue{};
  Bytes abData;  // the APDU

  // The request buffer: 19 bytes (ulDataLength little-endian) and the APDU.
  Bytes Encode() const;
};

// PC/SC part 10 PIN_MODIFY_STRUCTURE.
struct PinModifyStructure {
  std::uint8_t bTimerOut = 0;
  std::uint8_t bTimerOut2 = 0;
  std::uint8_t bmFormatString = 0;
  std::uint8_t bmPINBlockString = 0;
  std::uint8_t bmPINLengthFormat = 0;
  std::uint8_t bInsertionOffsetOld = 0;
  std::uint8_t bInsertionOffsetNew = 0;
  std::uint16_t wPINMaxExtraDigit = 0x0408;
  std::uint8_t bConfirmPIN = 0x03;  // current PIN asked for, new PIN confirmed
  std::uint8_t bEntryValidationCondition = 0x02;
  std::uint8_t bNumberMessage = 0x03;
  std::uint16_t wLangId = 0x0409;
  std::uint8_t bMsgIndex1 = 0;
  std::uint8_t bMsgIndex2 = 1;
  std::uint8_t bMsgIndex3 = 2;
  std::array<std::uint8_t, 3> bTeoPrologue{};
  Bytes abData;

  // The request buffer: 24 bytes and the APDU.
  Bytes Encode() const;
};

// The PC_to_RDR_Secure payload the driver builds from each request buffer: bPINOperation
// 0x00 or 0x01, then the request without bTimerOut2 and ulDataLength; a modification
// keeps bMsgIndex2 when bNumberMessage is 1 or more and bMsgIndex3 when it is 3 or more.
Bytes VerifyOperation(const Bytes& request);
Bytes ModifyOperation(const Bytes& request);

// A PIN pad layout: the three format bytes and the VERIFY data template it fills.
struct PinLayout {
  const char* name;
  std::uint8_t format_string;
  std::uint8_t block_string;
  std::uint8_t length_format;
  Bytes block_template;  // one PIN block as the APDU carries it before entry
};

// The layout that matches a card profile's PIN format (ASCII or BCD, with or without a
// length field).
PinLayout LayoutFor(const sim::PinFormat& format);

}  // namespace cardlink
