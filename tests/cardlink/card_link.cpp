#include "card_link.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "iso7816/t0_host.h"

namespace cardlink {

Bytes Hex(std::string_view text) {
  auto bytes = iso7816::FromHex(text);
  EXPECT_TRUE(bytes.has_value()) << text;
  return bytes.value_or(Bytes{});
}

void LoggedCard::Write(std::span<const std::uint8_t> bytes) {
  line_.push_back({true, Bytes(bytes.begin(), bytes.end())});
  card_->Write(bytes);
}

sim::Bytes LoggedCard::Read() {
  sim::Bytes bytes = card_->Read();
  if (!bytes.empty()) line_.push_back({false, bytes});
  return bytes;
}

std::string Describe(const Answer& answer) {
  if (!answer.Arrived()) return "no answer";
  char head[64];
  std::snprintf(head, sizeof head, "type %02X bStatus %02X bError %02X: ", answer.Type(), answer.Status(),
                answer.Error());
  return head + iso7816::ToHex(answer.Data(), ' ');
}

CardLink::CardLink(const char* reader, const sim::CardProfile& card) : bench_(reader) {
  auto logged = std::make_unique<LoggedCard>(std::make_unique<sim::SimCard>(card));
  logged_ = logged.get();
  bench_.reader->InsertCard(std::move(logged));
  if (bench_.host.interruptIn != nullptr) {
    EXPECT_EQ(bench_.host.ReadInterrupt().data, (Bytes{0x50, 0x03})) << "the insertion";
  }
}

CardLink::CardLink(const char* reader, const char* card) : CardLink(reader, *sim::FindCardProfile(card)) {}

Answer CardLink::Send(std::uint8_t type, const Bytes& payload, std::uint8_t b7, std::uint16_t level) {
  const Bytes command = usb_test::Cmd(type, seq_++, payload, 0, b7, static_cast<std::uint8_t>(level & 0xFF),
                                      static_cast<std::uint8_t>(level >> 8));
  sent_.push_back(command);
  Answer answer;
  auto message = bench_.host.Exchange(command, &answer.time_extensions);
  if (!message) {
    ADD_FAILURE() << "no answer to the command " << iso7816::ToHex(command, ' ');
    return answer;
  }
  answer.message = std::move(*message);
  EXPECT_EQ(answer.message.size() >= 10 ? answer.message[6] : -1, command[6]) << "bSeq echoed";
  return answer;
}

Answer CardLink::PowerOn(std::uint8_t select) {
  Answer answer = Send(0x62, {}, select);
  if (answer.Ok()) {
    atr_ = answer.Data();
    parsed_atr_ = iso7816::ParseAtr(atr_).atr;
  }
  return answer;
}

Answer CardLink::SelectProtocol(int protocol) {
  const iso7816::Atr& atr = parsed_atr_;
  const std::uint8_t fidi = atr.HasTa1() ? atr.Ta1() : 0x11;
  const std::uint8_t inverse = atr.convention == iso7816::Convention::kInverse ? 0x02 : 0x00;
  if (protocol == 0) return SetParameters(0, {fidi, inverse, atr.n_guard, atr.t0_wi, 0x00});
  const std::uint8_t crc = atr.t1_edc == iso7816::Edc::kCrc ? 0x01 : 0x00;
  return SetParameters(1, {fidi, static_cast<std::uint8_t>(0x10 | inverse | crc), atr.n_guard,
                           static_cast<std::uint8_t>(atr.t1_bwi << 4 | atr.t1_cwi), 0x00, atr.t1_ifsc, 0x00});
}

T0Outcome TransmitT0(CardLink& link, const Bytes& apdu) {
  T0Outcome out;
  iso7816::T0ApduEngine engine(apdu);
  iso7816::T0ApduStep step = engine.Begin();
  while (step.kind == iso7816::T0ApduStep::Kind::kTpdu) {
    out.tpdus.push_back(step.tpdu);
    const Answer answer = link.Xfr(step.tpdu);
    out.time_extensions += answer.time_extensions;
    if (!answer.Ok()) {
      out.error = "the reader failed the TPDU: " + Describe(answer);
      return out;
    }
    step = engine.OnTpduResponse(answer.Data());
  }
  if (step.kind == iso7816::T0ApduStep::Kind::kError) {
    out.error = engine.Error();
    return out;
  }
  out.response = engine.Response();
  return out;
}

namespace {

iso7816::T1HostConfig SessionConfig(const iso7816::Atr& atr, std::uint8_t ifsd, iso7816::T1HostConfig config) {
  config.ifsc = atr.t1_ifsc;
  config.edc = atr.t1_edc;
  config.ifsd = ifsd;
  return config;
}

}  // namespace

T1Host::T1Host(CardLink& link, std::uint8_t ifsd, iso7816::T1HostConfig tweaks)
    : link_(link),
      edc_(link.ParsedAtr().t1_edc),
      engine_(SessionConfig(link.ParsedAtr(), ifsd, tweaks)) {}

iso7816::T1HostEngine::Status T1Host::Exchange() {
  sent_.push_back(engine_.NextBlockFields());
  const Answer answer = link_.Xfr(engine_.NextBlock(), engine_.Wtx());
  Bytes reply;
  if (answer.Ok()) {
    reply = answer.Data();
    const iso7816::DecodedBlock decoded = iso7816::DecodeBlock(reply, edc_);
    if (decoded.ok()) received_.push_back(decoded.block);
  } else {
    reader_errors_.push_back(answer.Error());
  }
  return engine_.OnBlock(reply);
}

std::optional<Bytes> T1Host::Transmit(const Bytes& apdu) {
  iso7816::T1HostEngine::Status status = engine_.Begin(apdu);
  while (status == iso7816::T1HostEngine::Status::kSend) status = Exchange();
  if (status == iso7816::T1HostEngine::Status::kError) return std::nullopt;
  return engine_.Response();
}

Channel::Channel(CardLink& link, std::uint8_t ifsd) : link_(link) {
  const sim::ReaderProfile& reader = link.Reader().Profile();
  tpdu_ = (reader.Features() & (sim::ccid::kFeatureShortApdu | sim::ccid::kFeatureExtendedApdu)) == 0;
  const Answer parameters = link.GetParameters();
  EXPECT_TRUE(parameters.Ok()) << Describe(parameters);
  protocol_ = parameters.Chain();
  const std::uint32_t reader_ifsd = reader.MaxIfsd();
  ifsd_ = ifsd != 0 ? ifsd : static_cast<std::uint8_t>(reader_ifsd < iso7816::kT1MaxInf ? reader_ifsd : iso7816::kT1MaxInf);
  if (tpdu_ && protocol_ == 1) t1_ = std::make_unique<T1Host>(link, ifsd_);
}

std::optional<Bytes> Channel::Transmit(const Bytes& apdu) {
  if (!tpdu_) {
    const Answer answer = link_.Xfr(apdu);
    if (!answer.Ok()) return std::nullopt;
    return answer.Data();
  }
  if (t1_) return t1_->Transmit(apdu);
  return TransmitT0(link_, apdu).response;
}

std::array<std::uint8_t, 3> Channel::Prologue() const {
  if (!t1_) return {};
  return {0x00, static_cast<std::uint8_t>(t1_->Engine().Ns() << 6), 0x00};
}

std::optional<Bytes> Channel::PinResponse(const Answer& answer) {
  if (!answer.Ok()) return std::nullopt;
  if (!t1_) return answer.Data();
  const iso7816::Edc edc = link_.ParsedAtr().t1_edc;
  const iso7816::DecodedBlock decoded = iso7816::DecodeBlock(answer.Data(), edc);
  std::optional<Bytes> response;
  if (decoded.ok() && decoded.block.Kind() == iso7816::BlockKind::kI) response = decoded.block.inf;
  const Answer resynch = link_.Xfr(iso7816::EncodeBlock(iso7816::Block::S(iso7816::SType::kResynch, false), edc));
  const iso7816::DecodedBlock confirmed = iso7816::DecodeBlock(resynch.Data(), edc);
  EXPECT_TRUE(confirmed.ok() && confirmed.block.IsS(iso7816::SType::kResynch, true)) << Describe(resynch);
  t1_ = std::make_unique<T1Host>(link_, ifsd_);
  return response;
}

namespace {

void PutLe16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutLe32(Bytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

constexpr std::size_t kVerifyFixed = 19;
constexpr std::size_t kModifyFixed = 24;

}  // namespace

Bytes PinVerifyStructure::Encode() const {
  Bytes out{bTimerOut, bTimerOut2, bmFormatString, bmPINBlockString, bmPINLengthFormat};
  PutLe16(out, wPINMaxExtraDigit);
  out.push_back(bEntryValidationCondition);
  out.push_back(bNumberMessage);
  PutLe16(out, wLangId);
  out.push_back(bMsgIndex);
  out.insert(out.end(), bTeoPrologue.begin(), bTeoPrologue.end());
  PutLe32(out, static_cast<std::uint32_t>(abData.size()));
  out.insert(out.end(), abData.begin(), abData.end());
  return out;
}

Bytes PinModifyStructure::Encode() const {
  Bytes out{bTimerOut, bTimerOut2, bmFormatString, bmPINBlockString, bmPINLengthFormat, bInsertionOffsetOld,
            bInsertionOffsetNew};
  PutLe16(out, wPINMaxExtraDigit);
  out.insert(out.end(), {bConfirmPIN, bEntryValidationCondition, bNumberMessage});
  PutLe16(out, wLangId);
  out.insert(out.end(), {bMsgIndex1, bMsgIndex2, bMsgIndex3});
  out.insert(out.end(), bTeoPrologue.begin(), bTeoPrologue.end());
  PutLe32(out, static_cast<std::uint32_t>(abData.size()));
  out.insert(out.end(), abData.begin(), abData.end());
  return out;
}

Bytes VerifyOperation(const Bytes& request) {
  Bytes out{0x00};
  for (std::size_t i = 0; i < request.size(); ++i) {
    const bool left_out = i == 1 || (i >= 15 && i < kVerifyFixed);  // bTimerOut2, ulDataLength
    if (!left_out) out.push_back(request[i]);
  }
  return out;
}

Bytes ModifyOperation(const Bytes& request) {
  Bytes out{0x01};
  const std::uint8_t messages = request.size() > 11 ? request[11] : 0;
  for (std::size_t i = 0; i < request.size(); ++i) {
    const bool left_out = i == 1 || (i == 15 && messages < 1) || (i == 16 && messages < 3) ||
                          (i >= 20 && i < kModifyFixed);
    if (!left_out) out.push_back(request[i]);
  }
  return out;
}

PinLayout LayoutFor(const sim::PinFormat& format) {
  const bool ascii = format.encoding == sim::PinEncoding::kAscii;
  const std::uint8_t pad = ascii ? format.pad : static_cast<std::uint8_t>((format.pad & 0x0F) * 0x11);
  PinLayout layout{};
  layout.block_template.assign(format.block_size, pad);
  const std::uint8_t coding = ascii ? 0x02 : 0x01;
  switch (format.length_field) {
    case sim::PinLengthField::kNone:
      layout.name = ascii ? "ascii" : "bcd";
      layout.format_string = static_cast<std::uint8_t>(0x80 | coding);  // byte units, offset 0, left
      layout.block_string = format.block_size;
      layout.length_format = 0x00;
      break;
    case sim::PinLengthField::kByte:
      // The length in the first byte, the digits from the second.
      layout.name = ascii ? "ascii with length byte" : "bcd with length byte";
      layout.format_string = static_cast<std::uint8_t>(0x80 | 1 << 3 | coding);
      layout.block_string = static_cast<std::uint8_t>(0x80 | (format.block_size - 1));
      layout.length_format = 0x10;  // byte units, position 0
      layout.block_template[0] = 0x00;
      break;
    case sim::PinLengthField::kControl:
      // ISO 9564 format 2: control nibble 2 and the length in the first byte.
      layout.name = ascii ? "ascii with control nibble" : "bcd format 2";
      layout.format_string = static_cast<std::uint8_t>(0x80 | 1 << 3 | coding);
      layout.block_string = static_cast<std::uint8_t>(0x40 | (format.block_size - 1));
      layout.length_format = 0x04;  // bit units, position 4: the low nibble of the first byte
      layout.block_template[0] = 0x20;
      break;
  }
  return layout;
}

}  // namespace cardlink
