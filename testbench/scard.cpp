#include "scard.h"

#include <cstring>

namespace scard {
namespace {

// The device-interface class of smart-card readers.
constexpr GUID kSmartcardReaderInterface = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

// Room for any ATR a driver may return (the library's buffer holds 64 bytes).
constexpr ULONG kAtrRoom = 64;

Bytes Ulong(ULONG value) {
  Bytes bytes(sizeof(value));
  std::memcpy(bytes.data(), &value, sizeof(value));
  return bytes;
}

ULONG ReadUlong(const hosted::UserIoResult& result) {
  ULONG value = 0;
  if (result.information >= sizeof(value) && result.output.size() >= sizeof(value)) {
    std::memcpy(&value, result.output.data(), sizeof(value));
  }
  return value;
}

}  // namespace

std::unique_ptr<Reader> Reader::Open(PDEVICE_OBJECT pdo, NTSTATUS* status) {
  std::unique_ptr<hosted::UserFile> file = hosted::UserFile::OpenInterface(pdo, kSmartcardReaderInterface, status);
  if (file == nullptr) return nullptr;
  return std::make_unique<Reader>(std::move(file));
}

Reader::Reader(std::unique_ptr<hosted::UserFile> file) : file_(std::move(file)) {}

Reader::~Reader() { Close(); }

NTSTATUS Reader::Close() { return file_->IsOpen() ? file_->Close() : STATUS_SUCCESS; }

hosted::UserIoResult Reader::Control(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength) {
  return file_->DeviceIoControl(code, input, outputLength);
}

std::shared_ptr<hosted::UserRequest> Reader::ControlAsync(ULONG code, std::span<const std::uint8_t> input,
                                                          ULONG outputLength) {
  return file_->DeviceIoControlAsync(code, input, outputLength);
}

NTSTATUS Reader::Power(ULONG minorCode, Bytes* atr) {
  const hosted::UserIoResult result = Control(IOCTL_SMARTCARD_POWER, Ulong(minorCode), kAtrRoom);
  if (atr != nullptr) atr->assign(result.output.begin(), result.output.begin() + static_cast<long>(result.information));
  return result.status;
}

NTSTATUS Reader::SetProtocol(ULONG mask, ULONG* selected) {
  const hosted::UserIoResult result = Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(mask), sizeof(ULONG));
  if (selected != nullptr) *selected = NT_SUCCESS(result.status) ? ReadUlong(result) : 0;
  return result.status;
}

ULONG Reader::State(NTSTATUS* status) {
  const hosted::UserIoResult result = Control(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
  if (status != nullptr) *status = result.status;
  return ReadUlong(result);
}

Bytes Reader::Attribute(ULONG tag, NTSTATUS* status, ULONG maxLength) {
  const hosted::UserIoResult result = Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(tag), maxLength);
  if (status != nullptr) *status = result.status;
  if (!NT_SUCCESS(result.status)) return {};
  return Bytes(result.output.begin(), result.output.begin() + static_cast<long>(result.information));
}

std::shared_ptr<hosted::UserRequest> Reader::WaitForCard(bool present) {
  return ControlAsync(present ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT);
}

NTSTATUS Reader::Connect(Share share, ULONG protocols, ULONG* active) {
  active_ = 0;
  if (share == Share::Direct) return STATUS_SUCCESS;
  NTSTATUS status = STATUS_SUCCESS;
  const ULONG state = State(&status);
  if (!NT_SUCCESS(status)) return status;
  if (state < SCARD_NEGOTIABLE) {
    status = Power(SCARD_COLD_RESET);
    if (!NT_SUCCESS(status)) return status;
  }
  status = SetProtocol(protocols, &active_);
  if (active != nullptr) *active = active_;
  return status;
}

NTSTATUS Reader::Reconnect(ULONG protocols, Disposition initialization, ULONG* active) {
  NTSTATUS status = STATUS_SUCCESS;
  if (initialization == Disposition::Reset) {
    status = Power(SCARD_WARM_RESET);
  } else if (initialization == Disposition::Unpower) {
    status = Power(SCARD_POWER_DOWN);
    if (NT_SUCCESS(status)) status = Power(SCARD_COLD_RESET);
  }
  if (!NT_SUCCESS(status)) return status;
  status = SetProtocol(protocols, &active_);
  if (active != nullptr) *active = active_;
  return status;
}

NTSTATUS Reader::Disconnect(Disposition disposition) {
  const ULONG wasActive = active_;
  active_ = 0;
  switch (disposition) {
    case Disposition::Leave:
      return STATUS_SUCCESS;
    case Disposition::Reset:
      return wasActive != 0 ? Power(SCARD_WARM_RESET) : STATUS_SUCCESS;
    case Disposition::Unpower:
      return Power(SCARD_POWER_DOWN);
    case Disposition::Eject:
      return Control(IOCTL_SMARTCARD_EJECT).status;
  }
  return STATUS_INVALID_PARAMETER;
}

Response Reader::Transmit(std::span<const std::uint8_t> apdu, ULONG maxAnswer) {
  SCARD_IO_REQUEST pci{active_, sizeof(SCARD_IO_REQUEST)};
  Bytes input;
  input.reserve(sizeof(pci) + apdu.size());
  input.resize(sizeof(pci));
  std::memcpy(input.data(), &pci, sizeof(pci));
  input.insert(input.end(), apdu.begin(), apdu.end());
  const hosted::UserIoResult result = Control(IOCTL_SMARTCARD_TRANSMIT, input, sizeof(pci) + maxAnswer);
  Response response;
  response.status = result.status;
  if (NT_SUCCESS(result.status) && result.information >= sizeof(pci)) {
    response.data.assign(result.output.begin() + sizeof(pci),
                         result.output.begin() + static_cast<long>(result.information));
  }
  return response;
}

Status Reader::GetStatus() {
  Status status;
  status.state = State(&status.status);
  if (!NT_SUCCESS(status.status)) return status;
  const Bytes protocol = Attribute(SCARD_ATTR_CURRENT_PROTOCOL_TYPE);
  if (protocol.size() >= sizeof(ULONG)) std::memcpy(&status.protocol, protocol.data(), sizeof(ULONG));
  status.atr = Attribute(SCARD_ATTR_ATR_STRING);
  return status;
}

}  // namespace scard
