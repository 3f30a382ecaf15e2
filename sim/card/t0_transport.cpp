// The card side of T=0: a 5-byte header, procedure bytes (INS: all remaining data; ~INS:
// one byte; 0x60 NULL while working), then SW1 SW2. A command with data in and out leaves
// its data for GET RESPONSE and answers 61xx; a wrong Le on an outgoing command gets 6Cxx.
// The acknowledgement style of the profile applies to data in both directions.
#include "card/transport.h"

namespace sim {
namespace {

using iso7816::Apdu;
using iso7816::Bytes;

constexpr std::size_t kHeaderLength = 5;
constexpr std::uint8_t kNull = 0x60;
constexpr std::uint8_t kInvalidProcedureByte = 0x21;

bool InvalidIns(std::uint8_t ins) { return (ins & 0xF0) == 0x60 || (ins & 0xF0) == 0x90; }

}  // namespace

void T0Transport::Reset() {
  phase_ = Phase::kHeader;
  header_.clear();
  data_.clear();
  expected_ = 0;
  ask_each_byte_ = false;
  out_.clear();
}

void T0Transport::Write(iso7816::ByteView bytes) {
  for (std::uint8_t byte : bytes) {
    switch (phase_) {
      case Phase::kHeader:
        header_.push_back(byte);
        if (header_.size() == kHeaderLength) OnHeader();
        break;
      case Phase::kData:
        data_.push_back(byte);
        if (data_.size() == expected_) {
          OnData();
        } else if (ask_each_byte_) {
          AskForData();
        }
        break;
      case Phase::kAnswering:
        break;  // the card is sending; what the reader writes now is lost
    }
  }
}

Bytes T0Transport::Read() {
  if (out_.empty()) return {};
  if (faults_.mute_answers > 0) {
    --faults_.mute_answers;
    out_.clear();
    return {};
  }
  Bytes chunk = std::move(out_.front());
  out_.pop_front();
  return chunk;
}

void T0Transport::OnHeader() {
  const std::uint8_t ins = header_[1];
  const std::uint8_t p3 = header_[4];
  ++counters_.t0_headers;
  if (faults_.bad_procedure_byte) {
    faults_.bad_procedure_byte = false;
    out_.push_back({kInvalidProcedureByte});
    header_.clear();
    return;
  }
  if (InvalidIns(ins)) {
    ++counters_.t0_invalid_ins;
    out_.push_back({0x6D, 0x00});
    header_.clear();
    return;
  }
  Apdu apdu = iso7816::MakeApdu(header_[0], ins, header_[2], header_[3]);
  if (app_.CommandSendsData(ins)) {
    if (p3 == 0) return Finish(apdu);  // case 1: nothing to send
    expected_ = p3;
    data_.clear();
    phase_ = Phase::kData;
    AskForData();
    return;
  }
  // Outgoing data: P3 is Le, 0 meaning 256.
  apdu.ne = p3 == 0 ? iso7816::kShortMaxNe : p3;
  const AppAnswer answer = app_.Process(apdu, true);
  QueueNulls(answer.extensions);
  iso7816::Response response = answer.response;
  if (!response.data.empty() && response.data.size() != apdu.ne) {
    response = iso7816::MakeResponse(static_cast<std::uint16_t>(0x6C00 | (response.data.size() & 0xFF)));
  }
  // The data leaves the way the card acknowledges incoming data: after INS all of it, or
  // after ~INS one byte at a time (the first byte only, for kFirstByteSingly).
  const Bytes& data = response.data;
  std::size_t at = 0;
  while (at < data.size() && SingleByteAck(at)) {
    out_.push_back({static_cast<std::uint8_t>(~ins), data[at]});
    ++at;
  }
  Bytes chunk;
  if (at < data.size()) {
    chunk.push_back(ins);
    chunk.insert(chunk.end(), data.begin() + static_cast<std::ptrdiff_t>(at), data.end());
  }
  chunk.push_back(response.sw1);
  chunk.push_back(response.sw2);
  out_.push_back(std::move(chunk));
  header_.clear();
  phase_ = Phase::kHeader;
}

bool T0Transport::SingleByteAck(std::size_t index) const {
  switch (profile_.t0_ack) {
    case T0AckMode::kAll: return false;
    case T0AckMode::kEachByte: return true;
    case T0AckMode::kFirstByteSingly: return index == 0;
  }
  return false;
}

void T0Transport::AskForData() {
  const std::uint8_t ins = header_[1];
  switch (profile_.t0_ack) {
    case T0AckMode::kAll:
      ask_each_byte_ = false;
      break;
    case T0AckMode::kEachByte:
      ask_each_byte_ = true;
      break;
    case T0AckMode::kFirstByteSingly:
      ask_each_byte_ = data_.empty();
      break;
  }
  out_.push_back({ask_each_byte_ ? static_cast<std::uint8_t>(~ins) : ins});
}

void T0Transport::OnData() {
  Apdu apdu = iso7816::MakeApdu(header_[0], header_[1], header_[2], header_[3], data_);
  Finish(apdu);
}

// Runs a command whose P3 counted data sent to the card (or was 0). Any response data
// waits for GET RESPONSE.
void T0Transport::Finish(const Apdu& command) {
  Apdu apdu = command;
  apdu.ne = iso7816::kShortMaxNe;
  const AppAnswer answer = app_.Process(apdu, false);
  QueueNulls(answer.extensions);
  std::uint8_t sw1 = answer.response.sw1;
  std::uint8_t sw2 = answer.response.sw2;
  if (!answer.response.data.empty() && answer.response.Sw() == iso7816::sw::kOk) {
    const std::size_t size = answer.response.data.size();
    app_.SetPendingResponse(answer.response.data);
    sw1 = 0x61;
    sw2 = static_cast<std::uint8_t>(size >= 256 ? 0 : size);
  }
  out_.push_back({sw1, sw2});
  header_.clear();
  data_.clear();
  phase_ = Phase::kHeader;
  ask_each_byte_ = false;
}

void T0Transport::QueueNulls(unsigned count) {
  for (unsigned i = 0; i < count; ++i) out_.push_back({kNull});
}

}  // namespace sim
