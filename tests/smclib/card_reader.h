// A TestReader whose reader functions answer from a simulated card, shaped as a CCID
// driver's at TPDU level: power stores the ATR and calls SmartcardUpdateCardCapabilities;
// set protocol takes T=1 when mask and card allow (writing T1.IFSD as the driver does);
// transmit runs the library's helpers behind a 10-byte reader header: T=0 one TPDU through
// the card's procedure bytes (a failed one gives an empty answer), T=1 one block per
// exchange while the library asks for more, raw (or T=1 with apduLevel) the command to the
// card's application. Every TPDU or block each way is logged.
#pragma once

#include <cstring>

#include "card/sim_card.h"
#include "iso7816/t0_host.h"
#include "smclib_reader.h"

namespace smclibtest {

using iso7816::Bytes;

template <typename T>
Bytes AsBytes(const T& value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

class CardReader {
 public:
  explicit CardReader(const char* profile, ULONG maxIfsd = 254) : card_(*sim::FindCardProfile(profile)) {
    SCARD_READER_CAPABILITIES& caps = reader_.Extension()->ReaderCapabilities;
    caps.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    caps.MaxIFSD = maxIfsd;
    caps.CLKFrequency = {3580, 3580};
    caps.DataRate = {9600, 9600};
    caps.CurrentState = SCARD_PRESENT;
    reader_.Set(RDF_CARD_POWER, [this](PSMARTCARD_EXTENSION x) { return Power(x); });
    reader_.Set(RDF_SET_PROTOCOL, [this](PSMARTCARD_EXTENSION x) { return SetProtocol(x); });
    reader_.Set(RDF_TRANSMIT, [this](PSMARTCARD_EXTENSION x) { return Exchange(x); });
    file_ = reader_.Open();
  }

  PSMARTCARD_EXTENSION Extension() { return reader_.Extension(); }
  sim::SimCard& Card() { return card_; }
  hosted::UserFile& File() { return *file_; }

  // An application's cold reset and protocol choice.
  NTSTATUS Connect(ULONG protocols) {
    const NTSTATUS status = file_->DeviceIoControl(IOCTL_SMARTCARD_POWER, AsBytes(ULONG{SCARD_COLD_RESET}), 33).status;
    if (status != STATUS_SUCCESS) return status;
    return file_->DeviceIoControl(IOCTL_SMARTCARD_SET_PROTOCOL, AsBytes(protocols), 4).status;
  }
  // An application's transmit: SCARD_IO_REQUEST {selected protocol, 8} and the APDU.
  hosted::UserIoResult Transmit(const Bytes& apdu, ULONG replyLength = 8 + 258) {
    Bytes input = AsBytes(SCARD_IO_REQUEST{Extension()->CardCapabilities.Protocol.Selected, 8});
    input.insert(input.end(), apdu.begin(), apdu.end());
    return file_->DeviceIoControl(IOCTL_SMARTCARD_TRANSMIT, input, replyLength);
  }

  std::vector<Bytes> toCard;    // each TPDU or block as the library built it
  std::vector<Bytes> fromCard;  // each answer as the library received it
  std::vector<UCHAR> wtx;       // T1.Wtx at each T=1 block exchange
  unsigned timeouts = 0;        // the next T=1 exchanges the reader gives up on
  bool apduLevel = false;

 private:
  NTSTATUS Power(PSMARTCARD_EXTENSION x) {
    if (x->MinorIoControlCode == SCARD_POWER_DOWN) return STATUS_NOT_SUPPORTED;
    const auto atr = card_.ColdReset(sim::IccVoltage::V5_0);
    if (!atr) return STATUS_UNRECOGNIZED_MEDIA;
    std::memcpy(x->IoRequest.ReplyBuffer, atr->data(), atr->size());
    *x->IoRequest.Information = static_cast<ULONG>(atr->size());
    std::memcpy(x->CardCapabilities.ATR.Buffer, atr->data(), atr->size());
    x->CardCapabilities.ATR.Length = static_cast<UCHAR>(atr->size());
    x->ReaderCapabilities.CurrentState = SCARD_POWERED;
    return SmartcardUpdateCardCapabilities(x);
  }

  NTSTATUS SetProtocol(PSMARTCARD_EXTENSION x) {
    const bool t1 = (x->MinorIoControlCode & x->CardCapabilities.Protocol.Supported & SCARD_PROTOCOL_T1) != 0;
    const ULONG selected = t1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    if (!card_.SetParameters(t1 ? 1 : 0, 0x11)) return STATUS_IO_TIMEOUT;
    x->CardCapabilities.Protocol.Selected = selected;
    std::memcpy(x->IoRequest.ReplyBuffer, &selected, sizeof selected);
    *x->IoRequest.Information = sizeof selected;
    if (t1) x->T1.IFSD = x->CardCapabilities.T1.IFSC;  // as the CCID driver does
    x->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    return STATUS_SUCCESS;
  }

  Bytes Sent(PSMARTCARD_EXTENSION x, ULONG from) {
    toCard.emplace_back(x->SmartcardRequest.Buffer + from, x->SmartcardRequest.Buffer + x->SmartcardRequest.BufferLength);
    return toCard.back();
  }
  void Answer(PSMARTCARD_EXTENSION x, const Bytes& answer) {
    fromCard.push_back(answer);
    if (!answer.empty()) std::memcpy(x->SmartcardReply.Buffer, answer.data(), answer.size());
    x->SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
  }

  NTSTATUS Exchange(PSMARTCARD_EXTENSION x) {
    const ULONG selected = x->CardCapabilities.Protocol.Selected;
    if (selected == SCARD_PROTOCOL_RAW || (selected == SCARD_PROTOCOL_T1 && apduLevel)) return Whole(x);
    NTSTATUS status;
    do {
      x->SmartcardRequest.BufferLength = 10;
      status = selected == SCARD_PROTOCOL_T0 ? SmartcardT0Request(x) : SmartcardT1Request(x);
      if (status != STATUS_SUCCESS) return status;
      const Bytes sent = Sent(x, 10);
      if (selected == SCARD_PROTOCOL_T0) {
        auto write = [&](iso7816::ByteView b) { card_.Write(b); };
        Answer(x, iso7816::RunT0Tpdu(sent, write, [&] { return card_.Read(); }).value_or(Bytes{}));
        return SmartcardT0Reply(x);
      }
      card_.Write(sent);
      wtx.push_back(x->T1.Wtx);
      const Bytes answer = card_.Read();
      if (timeouts > 0) {
        --timeouts;
        return STATUS_IO_TIMEOUT;  // the card's answer is lost
      }
      Answer(x, answer);
      status = SmartcardT1Reply(x);
    } while (status == STATUS_MORE_PROCESSING_REQUIRED);
    return status;
  }

  NTSTATUS Whole(PSMARTCARD_EXTENSION x) {
    x->SmartcardRequest.BufferLength = 0;
    const NTSTATUS status = SmartcardRawRequest(x);
    if (status != STATUS_SUCCESS) return status;
    Bytes reply(x->SmartcardRequest.Buffer, x->SmartcardRequest.Buffer + sizeof(SCARD_IO_REQUEST));
    const auto apdu = iso7816::ParseApdu(Sent(x, sizeof(SCARD_IO_REQUEST)));
    const Bytes answer = card_.Application().Process(*apdu, false).response.Encode();
    reply.insert(reply.end(), answer.begin(), answer.end());
    Answer(x, reply);
    return SmartcardRawReply(x);
  }

  TestReader reader_;
  sim::SimCard card_;
  std::unique_ptr<hosted::UserFile> file_;
};

}  // namespace smclibtest
