// A PC/SC-style view of one reader for tools and tests: connect with a share mode and a
// protocol mask, transmit with the protocol's PCI, status, reconnect, disconnect with a
// disposition, and waits for card insertion or removal. It is a thin layer over the
// hosted user-mode side (CreateFile, DeviceIoControl, CancelIoEx, CloseHandle): every call
// is the smart-card request a Windows resource manager would send to the driver, so code
// written on it reads like smart-card code and still reaches the driver only through the
// doors Windows uses.
#pragma once

#include <wdm.h>
#include <winsmcrd.h>

#include <hosted/kernel/user_mode.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace scard {

using Bytes = std::vector<std::uint8_t>;

// Share modes and dispositions, with winscard's values.
enum class Share : std::uint32_t { Exclusive = 1, Shared = 2, Direct = 3 };
enum class Disposition : std::uint32_t { Leave = 0, Reset = 1, Unpower = 2, Eject = 3 };

// The card's answer to one command: the status of the request and, on success, the
// response data with SW1 SW2 last.
struct Response {
  NTSTATUS status = STATUS_PENDING;
  Bytes data;

  std::uint16_t StatusWord() const {
    return data.size() < 2 ? 0 : static_cast<std::uint16_t>(data[data.size() - 2] << 8 | data.back());
  }
  Bytes Body() const { return data.size() < 2 ? Bytes{} : Bytes(data.begin(), data.end() - 2); }
};

// What SCardStatus reports.
struct Status {
  NTSTATUS status = STATUS_PENDING;
  ULONG state = SCARD_UNKNOWN;  // IOCTL_SMARTCARD_GET_STATE
  ULONG protocol = 0;           // SCARD_ATTR_CURRENT_PROTOCOL_TYPE
  Bytes atr;                    // SCARD_ATTR_ATR_STRING
};

class Reader {
 public:
  // Opens the reader's smart-card interface on `pdo` (CreateFile). NULL with the status
  // when the driver refuses the handle.
  static std::unique_ptr<Reader> Open(PDEVICE_OBJECT pdo, NTSTATUS* status);
  explicit Reader(std::unique_ptr<hosted::UserFile> file);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // SCardConnect: unless Direct, powers the card (cold reset) when it is not powered yet
  // and selects a protocol from `protocols`; *active receives it.
  NTSTATUS Connect(Share share, ULONG protocols, ULONG* active = nullptr);
  // SCardReconnect: the card is left, warm-reset or powered down and reset, then a
  // protocol selected again.
  NTSTATUS Reconnect(ULONG protocols, Disposition initialization, ULONG* active = nullptr);
  // SCardDisconnect: what to do with the card; the handle stays open for the next connect.
  NTSTATUS Disconnect(Disposition disposition);
  // SCardTransmit with the PCI of the active protocol.
  Response Transmit(std::span<const std::uint8_t> apdu, ULONG maxAnswer = 258);
  Status GetStatus();
  ULONG ActiveProtocol() const { return active_; }

  // Smart-card requests one by one.
  NTSTATUS Power(ULONG minorCode, Bytes* atr = nullptr);
  NTSTATUS SetProtocol(ULONG mask, ULONG* selected = nullptr);
  ULONG State(NTSTATUS* status = nullptr);
  Bytes Attribute(ULONG tag, NTSTATUS* status = nullptr, ULONG maxLength = 64);
  // IOCTL_SMARTCARD_IS_PRESENT / _IS_ABSENT, overlapped: the application's wait for a card
  // event (SCardGetStatusChange on this reader). Wait on, or cancel, the request.
  std::shared_ptr<hosted::UserRequest> WaitForCard(bool present);

  // Any control code (the driver's own included), synchronous or overlapped.
  hosted::UserIoResult Control(ULONG code, std::span<const std::uint8_t> input = {}, ULONG outputLength = 0);
  std::shared_ptr<hosted::UserRequest> ControlAsync(ULONG code, std::span<const std::uint8_t> input = {},
                                                    ULONG outputLength = 0);

  // CloseHandle; the destructor closes a handle still open.
  NTSTATUS Close();
  hosted::UserFile& File() { return *file_; }

 private:
  std::unique_ptr<hosted::UserFile> file_;
  ULONG active_ = 0;
};

}  // namespace scard
