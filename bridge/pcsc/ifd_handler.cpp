// The pcsc-lite reader-driver interface (ifdhandler.h, version 3) over the bridge's
// reader. pcscd loads this library for a reader.conf entry whose DEVICENAME names the
// reader profile and card; each entry point becomes the request a Windows application
// would send to the driver for the same purpose (bridge_reader.h).
// pcsc-lite's headers declare the entry points with C linkage only for C.
extern "C" {
#include <PCSC/ifdhandler.h>
#include <PCSC/reader.h>
}

#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>

#include "bridge_reader.h"

namespace {

using pcsc_bridge::BridgeReader;
using pcsc_bridge::Bytes;
using pcsc_bridge::Outcome;

// One hosted kernel per process: the bridge serves one reader.
constexpr UCHAR kReadersServed = 1;
constexpr UCHAR kSlots = 1;

std::mutex& ReadersMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<DWORD, std::shared_ptr<BridgeReader>>& Readers() {
  static auto* readers = new std::map<DWORD, std::shared_ptr<BridgeReader>>();
  return *readers;
}

std::shared_ptr<BridgeReader> Find(DWORD lun) {
  std::lock_guard<std::mutex> lock(ReadersMutex());
  const auto found = Readers().find(lun);
  return found == Readers().end() ? nullptr : found->second;
}

// The outcome as the reader-driver interface reports it; `failed` for a plain failure.
RESPONSECODE Code(Outcome outcome, RESPONSECODE failed = IFD_COMMUNICATION_ERROR) {
  switch (outcome) {
    case Outcome::Success:
      return IFD_SUCCESS;
    case Outcome::NoCard:
      return IFD_ICC_NOT_PRESENT;
    case Outcome::Timeout:
      return IFD_RESPONSE_TIMEOUT;
    case Outcome::Gone:
      return IFD_NO_SUCH_DEVICE;
    case Outcome::BufferTooSmall:
      return IFD_ERROR_INSUFFICIENT_BUFFER;
    case Outcome::Unsupported:
      return IFD_NOT_SUPPORTED;
    case Outcome::Failed:
      break;
  }
  return failed;
}

// pcsc-lite's protocol numbers (the PCI of a transmit: 0 for T=0, 1 for T=1; masks
// elsewhere, raw 4) as the driver's masks.
std::uint32_t ProtocolMask(DWORD protocol, bool pciNumber) {
  if (protocol == SCARD_PROTOCOL_RAW) return pcsc_bridge::kProtocolRaw;
  if (pciNumber) return protocol == 1 ? pcsc_bridge::kProtocolT1 : pcsc_bridge::kProtocolT0;
  return static_cast<std::uint32_t>(protocol & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
}

RESPONSECODE CopyOut(const Bytes& value, PUCHAR buffer, PDWORD length) {
  if (value.size() > *length) {
    *length = 0;
    return IFD_ERROR_INSUFFICIENT_BUFFER;
  }
  if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
  *length = value.size();
  return IFD_SUCCESS;
}

RESPONSECODE OneByte(UCHAR value, PUCHAR buffer, PDWORD length) { return CopyOut(Bytes{value}, buffer, length); }

}  // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  std::string error;
  const std::optional<pcsc_bridge::DeviceName> name = pcsc_bridge::ParseDeviceName(DeviceName, &error);
  if (!name) {
    std::cerr << "ccid-pcsc-bridge: DEVICENAME " << DeviceName << ": " << error << std::endl;
    return IFD_COMMUNICATION_ERROR;
  }
  {
    std::lock_guard<std::mutex> lock(ReadersMutex());
    if (!Readers().empty()) {
      std::cerr << "ccid-pcsc-bridge: one reader per pcscd (one hosted kernel per process)" << std::endl;
      return IFD_COMMUNICATION_ERROR;
    }
  }
  std::unique_ptr<BridgeReader> reader = BridgeReader::Open(*name, &error);
  if (reader == nullptr) {
    std::cerr << "ccid-pcsc-bridge: " << DeviceName << ": " << error << std::endl;
    return IFD_COMMUNICATION_ERROR;
  }
  std::lock_guard<std::mutex> lock(ReadersMutex());
  Readers()[Lun] = std::move(reader);
  return IFD_SUCCESS;
}

// Without a DEVICENAME there is no reader to simulate.
RESPONSECODE IFDHCreateChannel(DWORD, DWORD) {
  std::cerr << "ccid-pcsc-bridge: the reader.conf entry needs DEVICENAME reader=PROFILE:card=CARD" << std::endl;
  return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  std::shared_ptr<BridgeReader> reader;
  {
    std::lock_guard<std::mutex> lock(ReadersMutex());
    const auto found = Readers().find(Lun);
    if (found == Readers().end()) return IFD_NO_SUCH_DEVICE;
    reader = std::move(found->second);
    Readers().erase(found);
  }
  reader.reset();  // the stack comes down here (unless a request still runs)
  return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  const std::shared_ptr<BridgeReader> reader = Find(Lun);
  if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
  switch (Tag) {
    case TAG_IFD_ATR:
      return CopyOut(reader->Atr(), Value, Length);
    case TAG_IFD_SIMULTANEOUS_ACCESS:
      return OneByte(kReadersServed, Value, Length);
    case TAG_IFD_SLOTS_NUMBER:
      return OneByte(kSlots, Value, Length);
    case TAG_IFD_THREAD_SAFE:
    case TAG_IFD_SLOT_THREAD_SAFE:
      return OneByte(0, Value, Length);
    default:
      break;
  }
  // The smart-card attributes (class << 16 | tag) are the driver's to answer.
  if ((Tag >> 16) == 0) return IFD_ERROR_TAG;
  Bytes value;
  const Outcome outcome = reader->Attribute(static_cast<std::uint32_t>(Tag), *Length, &value);
  if (outcome != Outcome::Success) {
    *Length = 0;
    return outcome == Outcome::BufferTooSmall ? IFD_ERROR_INSUFFICIENT_BUFFER : IFD_ERROR_TAG;
  }
  return CopyOut(value, Value, Length);
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD, DWORD, PUCHAR) {
  return Find(Lun) == nullptr ? IFD_NO_SUCH_DEVICE : IFD_ERROR_TAG;
}

// The parameters are the driver's to negotiate from the ATR (as SET_PROTOCOL does on
// Windows); only the protocol is passed on.
RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR, UCHAR, UCHAR) {
  const std::shared_ptr<BridgeReader> reader = Find(Lun);
  if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
  const Outcome outcome = reader->SetProtocol(ProtocolMask(Protocol, false));
  if (outcome == Outcome::Unsupported) return IFD_PROTOCOL_NOT_SUPPORTED;
  return Code(outcome, IFD_ERROR_PTS_FAILURE);
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  const std::shared_ptr<BridgeReader> reader = Find(Lun);
  const DWORD room = *AtrLength;
  *AtrLength = 0;
  if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
  pcsc_bridge::PowerAction action;
  switch (Action) {
    case IFD_POWER_UP:
      action = pcsc_bridge::PowerAction::Up;
      break;
    case IFD_POWER_DOWN:
      action = pcsc_bridge::PowerAction::Down;
      break;
    case IFD_RESET:
      action = pcsc_bridge::PowerAction::Reset;
      break;
    default:
      return IFD_NOT_SUPPORTED;
  }
  Bytes atr;
  const Outcome outcome = reader->Power(action, &atr);
  if (outcome != Outcome::Success) return Code(outcome, IFD_ERROR_POWER_ACTION);
  if (atr.size() > room || atr.size() > MAX_ATR_SIZE) return IFD_ERROR_POWER_ACTION;
  if (!atr.empty()) std::memcpy(Atr, atr.data(), atr.size());
  *AtrLength = atr.size();
  return IFD_SUCCESS;
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  const std::shared_ptr<BridgeReader> reader = Find(Lun);
  const DWORD room = *RxLength;
  *RxLength = 0;
  if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
  Bytes answer;
  const Outcome outcome =
      reader->Transmit(ProtocolMask(SendPci.Protocol, true), Bytes(TxBuffer, TxBuffer + TxLength), room, &answer);
  if (outcome != Outcome::Success) return Code(outcome);
  if (RecvPci != nullptr) *RecvPci = SendPci;
  *RxLength = room;
  return CopyOut(answer, RxBuffer, RxLength);
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
  const std::shared_ptr<BridgeReader> reader = Find(Lun);
  *pdwBytesReturned = 0;
  if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
  Bytes output;
  const Bytes input = TxBuffer == nullptr ? Bytes{} : Bytes(TxBuffer, TxBuffer + TxLength);
  const Outcome outcome = reader->Control(static_cast<std::uint32_t>(dwControlCode), input, RxLength, &output);
  if (outcome != Outcome::Success) return Code(outcome);
  DWORD length = RxLength;
  const RESPONSECODE copied = CopyOut(output, RxBuffer, &length);
  *pdwBytesReturned = length;
  return copied;
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
  const std::shared_ptr<BridgeReader> reader = Find(Lun);
  if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
  const Outcome outcome = reader->Presence();
  return outcome == Outcome::Success ? IFD_ICC_PRESENT : Code(outcome);
}

}  // extern "C"
