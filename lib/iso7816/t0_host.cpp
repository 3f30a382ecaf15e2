#include "iso7816/t0_host.h"

#include <cstdio>

namespace iso7816 {
namespace {

constexpr std::size_t kHeaderLength = 5;
constexpr std::uint8_t kNull = 0x60;
constexpr std::uint8_t kInsGetResponse = 0xC0;
constexpr std::uint8_t kInsEnvelope = 0xC2;
constexpr unsigned kMaxReissues = 3;
constexpr unsigned kMaxTpdus = 1024;

bool IsSw1(std::uint8_t byte) {
  return ((byte & 0xF0) == 0x60 && byte != kNull) || (byte & 0xF0) == 0x90;
}

std::string HexByte(const char* format, std::uint8_t byte) {
  char text[96];
  std::snprintf(text, sizeof text, format, byte);
  return text;
}

}  // namespace

T0TpduExchange::T0TpduExchange(ByteView tpdu) : tpdu_(tpdu.begin(), tpdu.end()) {
  if (tpdu_.size() < kHeaderLength) return;
  const std::uint8_t p3 = tpdu_[4];
  outgoing_ = tpdu_.size() == kHeaderLength;
  remaining_ = outgoing_ ? (p3 == 0 ? 256 : p3) : tpdu_.size() - kHeaderLength;
}

T0Step T0TpduExchange::Fail(std::string reason) {
  phase_ = Phase::kFailed;
  error_ = std::move(reason);
  return {T0Step::Kind::kError, {}};
}

ByteView T0TpduExchange::DataToSend() const {
  const std::size_t sent = tpdu_.size() - kHeaderLength - remaining_;
  return ByteView(tpdu_).subspan(kHeaderLength + sent);
}

T0Step T0TpduExchange::Begin() {
  if (tpdu_.size() < kHeaderLength) return Fail("TPDU shorter than its 5-byte header");
  if (!outgoing_ && (tpdu_[4] != tpdu_.size() - kHeaderLength)) {
    return Fail("P3 does not match the number of data bytes");
  }
  const std::uint8_t ins = tpdu_[1];
  if ((ins & 0xF0) == 0x60 || (ins & 0xF0) == 0x90) return Fail("INS 6X and 9X are invalid for T=0");
  return {T0Step::Kind::kWrite, Bytes(tpdu_.begin(), tpdu_.begin() + kHeaderLength)};
}

T0Step T0TpduExchange::OnCardBytes(ByteView bytes) {
  if (phase_ == Phase::kDone || phase_ == Phase::kFailed) return Fail("exchange already over");
  if (bytes.empty()) return Fail("no answer from the card within the waiting time");
  const std::uint8_t ins = tpdu_[1];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint8_t byte = bytes[i];
    switch (phase_) {
      case Phase::kReceiving:
        response_.push_back(byte);
        --remaining_;
        if (--receiving_ == 0) phase_ = Phase::kProcedure;
        break;
      case Phase::kSw2:
        response_.push_back(sw1_);
        response_.push_back(byte);
        phase_ = Phase::kDone;
        if (i + 1 != bytes.size()) return Fail("card sent bytes after SW1 SW2");
        return {T0Step::Kind::kDone, {}};
      case Phase::kProcedure: {
        if (byte == kNull) {
          ++nulls_;
          break;
        }
        if (IsSw1(byte)) {
          sw1_ = byte;
          phase_ = Phase::kSw2;
          break;
        }
        const bool all = byte == ins;
        const bool one = byte == static_cast<std::uint8_t>(~ins);
        if (!all && !one) return Fail(HexByte("invalid procedure byte 0x%02X", byte));
        if (remaining_ == 0) return Fail(HexByte("procedure byte 0x%02X with no data left", byte));
        if (outgoing_) {
          receiving_ = all ? remaining_ : 1;
          phase_ = Phase::kReceiving;
          break;
        }
        if (i + 1 != bytes.size()) return Fail("card sent bytes before receiving the data");
        const ByteView data = DataToSend();
        const std::size_t count = all ? data.size() : 1;
        remaining_ -= count;
        return {T0Step::Kind::kWrite, Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count))};
      }
      case Phase::kDone:
      case Phase::kFailed:
        break;
    }
  }
  return {T0Step::Kind::kRead, {}};
}

T0ApduEngine::T0ApduEngine(ByteView apdu) {
  std::string reason;
  auto parsed = ParseApdu(apdu, &reason);
  valid_ = parsed.has_value();
  if (valid_) {
    apdu_ = std::move(*parsed);
  } else {
    parse_error_ = reason;
  }
}

T0ApduStep T0ApduEngine::Fail(std::string reason) {
  error_ = std::move(reason);
  return {T0ApduStep::Kind::kError, {}};
}

T0ApduStep T0ApduEngine::Send(Bytes tpdu) {
  if (++tpdus_ > kMaxTpdus) return Fail("too many TPDUs for one command");
  last_tpdu_ = tpdu;
  return {T0ApduStep::Kind::kTpdu, std::move(tpdu)};
}

T0ApduStep T0ApduEngine::Begin() {
  if (!valid_) return Fail(parse_error_);
  wanted_ = apdu_.ne;
  Bytes header = {apdu_.cla, apdu_.ins, apdu_.p1, apdu_.p2};
  const std::size_t nc = apdu_.data.size();
  if (nc > kShortMaxNc || apdu_.ne > kShortMaxNe) {
    // A command that needs extended lengths travels whole in ENVELOPE pieces; its answer
    // comes back by GET RESPONSE.
    const Bytes whole = *BuildApdu(apdu_);
    for (std::size_t at = 0; at < whole.size(); at += kShortMaxNc) {
      const std::size_t n = whole.size() - at < kShortMaxNc ? whole.size() - at : kShortMaxNc;
      Bytes tpdu = {apdu_.cla, kInsEnvelope, 0x00, 0x00, static_cast<std::uint8_t>(n)};
      tpdu.insert(tpdu.end(), whole.begin() + static_cast<std::ptrdiff_t>(at),
                  whole.begin() + static_cast<std::ptrdiff_t>(at + n));
      envelopes_.push_back(std::move(tpdu));
    }
    in_envelope_ = true;
    Bytes first = std::move(envelopes_.front());
    envelopes_.pop_front();
    return Send(std::move(first));
  }
  if (nc == 0) {
    // Case 1 (P3 0) or case 2 (P3 = Le, 0 for 256 or more).
    header.push_back(static_cast<std::uint8_t>(wanted_ >= 256 ? 0 : wanted_));
    return Send(std::move(header));
  }
  header.push_back(static_cast<std::uint8_t>(nc));
  header.insert(header.end(), apdu_.data.begin(), apdu_.data.end());
  return Send(std::move(header));
}

T0ApduStep T0ApduEngine::OnTpduResponse(ByteView bytes) {
  const auto answer = ParseResponse(bytes);
  if (!answer) return Fail("TPDU answer shorter than SW1 SW2");
  if (in_envelope_) {
    if (!envelopes_.empty()) {
      if (answer->Sw() != sw::kOk) return Finish(answer->sw1, answer->sw2);
      Bytes next = std::move(envelopes_.front());
      envelopes_.pop_front();
      return Send(std::move(next));
    }
    in_envelope_ = false;
  }
  return AfterCommand(*answer);
}

T0ApduStep T0ApduEngine::AfterCommand(const iso7816::Response& answer) {
  if (answer.sw1 == 0x6C) {
    // Wrong length: the same header again with P3 = SW2 (only for a TPDU that receives).
    if (last_tpdu_.size() != 5 || ++reissues_ > kMaxReissues) return Finish(answer.sw1, answer.sw2);
    Bytes tpdu = last_tpdu_;
    tpdu[4] = answer.sw2;
    return Send(std::move(tpdu));
  }
  reissues_ = 0;
  collected_.insert(collected_.end(), answer.data.begin(), answer.data.end());
  if (answer.sw1 == 0x61 && wanted_ > collected_.size()) {
    const std::size_t available = answer.sw2 == 0 ? 256 : answer.sw2;
    const std::size_t missing = wanted_ - collected_.size();
    return GetResponse(available < missing ? available : missing);
  }
  return Finish(answer.sw1, answer.sw2);
}

T0ApduStep T0ApduEngine::GetResponse(std::size_t count) {
  return Send({apdu_.cla, kInsGetResponse, 0x00, 0x00, static_cast<std::uint8_t>(count >= 256 ? 0 : count)});
}

T0ApduStep T0ApduEngine::Finish(std::uint8_t sw1, std::uint8_t sw2) {
  response_ = std::move(collected_);
  if (wanted_ != 0 && response_.size() > wanted_) response_.resize(wanted_);
  response_.push_back(sw1);
  response_.push_back(sw2);
  return {T0ApduStep::Kind::kDone, {}};
}

}  // namespace iso7816
