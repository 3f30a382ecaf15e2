#include "driver_session.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <hosted/kernel/hosted.h>

#include "CcidFeatures.h"
#include "CcidIoctl.h"

namespace ccid_fuzz {
namespace {

using namespace std::chrono_literals;

constexpr ULONG kBothProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
// Kernel time an event wait is given before the application cancels it.
constexpr std::chrono::nanoseconds kEventPatience = 3s;

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Apdu(std::uint8_t choice) {
  switch (choice % 8) {
    case 0: return {0x00, 0x84, 0x00, 0x00, 0x08};  // case 2
    case 1: return {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D};  // case 3
    case 2: return {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00};  // case 4
    case 3: return {0x00, 0x20, 0x00, 0x81};  // case 1
    case 4: return Join({0x00, 0xD6, 0x00, 0x00, 0xFF}, Bytes(255, 0x5A));  // long case 3
    case 5: return {0x00, 0xB0, 0x00, 0x00, 0x00};  // case 2, 256 bytes
    case 6: return Join({0x00, 0xD6, 0x00, 0x00, 0x00, 0x01, 0x00}, Bytes(256, 0xA5));  // extended case 3
    default: return {0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00};  // extended case 2
  }
}

// PIN_VERIFY_STRUCTURE for VERIFY with an 8-byte PIN block, and PIN_MODIFY_STRUCTURE.
Bytes VerifyStructure() {
  const Bytes apdu = Join({0x00, 0x20, 0x00, 0x81, 0x08}, Bytes(8, 0xFF));
  return Join({0x00, 0x00, 0x82, 0x08, 0x00, 0x08, 0x04, 0x02, 0x01, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00,
               static_cast<std::uint8_t>(apdu.size()), 0x00, 0x00, 0x00},
              apdu);
}

Bytes ModifyStructure(std::uint8_t messages) {
  const Bytes apdu = Join({0x00, 0x24, 0x00, 0x81, 0x10}, Bytes(16, 0xFF));
  return Join({0x00, 0x00, 0x82, 0x08, 0x00, 0x00, 0x08, 0x08, 0x04, 0x03, 0x02, messages, 0x09, 0x04, 0x00, 0x01,
               0x02, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(apdu.size()), 0x00, 0x00, 0x00},
              apdu);
}

void ToggleCard(ccid_test::ReaderBench& bench, const std::string& card) {
  if (bench.Reader().CardPresent()) {
    bench.RemoveCard();
  } else {
    bench.InsertCard(card.empty() ? "t0" : card);
  }
}

// An overlapped request that the application gives up on (cancels) if it has not come
// back within the patience; then waits for it, which must end.
void Finish(const std::shared_ptr<hosted::UserRequest>& request) {
  if (!request) return;
  if (!hosted::Scheduler::RunUntil([&request] { return request->Done(); }, kEventPatience)) request->Cancel();
  request->Wait();
  request->Result();
}

void Play(ccid_test::ReaderBench& bench, scard::Reader& reader, const std::string& card, std::uint8_t operation) {
  const std::uint8_t p = operation >> 4;
  switch (static_cast<Operation>(operation & 15)) {
    case kConnect:
      reader.Connect(p & 8 ? scard::Share::Direct : scard::Share::Exclusive,
                     p & 1 ? SCARD_PROTOCOL_T0 : p & 2 ? SCARD_PROTOCOL_T1 : kBothProtocols);
      break;
    case kTransmit:
      reader.Transmit(Apdu(p), p & 8 ? 65538 : 258);
      break;
    case kPower: {
      Bytes atr;
      reader.Power(p % 3 == 0 ? SCARD_COLD_RESET : p % 3 == 1 ? SCARD_WARM_RESET : SCARD_POWER_DOWN, &atr);
      break;
    }
    case kSetProtocol:
      reader.SetProtocol(p & 1 ? SCARD_PROTOCOL_T0 : p & 2 ? SCARD_PROTOCOL_T1 : p & 4 ? SCARD_PROTOCOL_RAW
                                                                                     : kBothProtocols);
      break;
    case kStatus:
      reader.GetStatus();
      break;
    case kVerifyPin:
      bench.Reader().TypeKeys(p & 1 ? "C" : "1234#");
      reader.Control(IOCTL_FEATURE_VERIFY_PIN_DIRECT, VerifyStructure(), p & 2 ? 1 : 2);
      break;
    case kModifyPin:
      bench.Reader().TypeKeys(p & 1 ? "C" : "1234#5678#5678#");
      reader.Control(IOCTL_FEATURE_MODIFY_PIN_DIRECT, ModifyStructure(p % 4), 2);
      break;
    case kEscape:
      reader.Control(IOCTL_FEATURE_CCID_ESC_COMMAND, p & 1 ? Bytes(261, 'A') : Bytes{0x01}, p & 2 ? 8 : 300);
      break;
    case kRawTransfer: {
      // GET_SLOT_STATUS, or an XfrBlock of a case 2 command.
      const Bytes message = p & 1 ? Bytes{0x6F, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x84, 0x00, 0x00, 0x08}
                                  : Bytes{0x65, 0, 0, 0, 0, 0, 0, 0, 0, 0};
      reader.Control(IOCTL_CCID_TRANSFER, message, p & 2 ? 12 : 300);
      break;
    }
    case kReadEvent: {
      auto request = reader.ControlAsync(IOCTL_CCID_READ_EVENT, {}, p & 1 ? 1 : 16);
      if (p & 2) ToggleCard(bench, card);
      Finish(request);
      break;
    }
    case kCardToggle:
      if (p & 8) {
        bench.Reader().Unplug();  // surprise removal: the handle stays open until the end
        break;
      }
      ToggleCard(bench, card);
      bench.WaitInterruptIdle();
      break;
    case kSleepWake:
      hosted::PowerManager::SetSystemPower(bench.Pdo(), p & 1 ? PowerSystemHibernate : PowerSystemSleeping3);
      if (p & 2) ToggleCard(bench, card);
      hosted::PowerManager::SetSystemPower(bench.Pdo(), PowerSystemWorking);
      break;
    case kAbort:
      reader.Control(IOCTL_CCID_ABORT, Bytes{static_cast<std::uint8_t>(p & 1)}, 0);
      break;
    case kWaitForCard: {
      auto request = reader.WaitForCard((p & 1) != 0);
      if (p & 2) ToggleCard(bench, card);
      Finish(request);
      break;
    }
    case kClassRequests:
      reader.Control(p % 3 == 0 ? IOCTL_CCID_GET_CLOCK_FREQUENCIES
                     : p % 3 == 1 ? IOCTL_CCID_GET_DATA_RATES
                                  : IOCTL_CCID_GET_CLASS_DESCRIPTOR,
                     {}, p & 4 ? 3 : 256);
      break;
    case kReconnect:
      if (p & 8) {
        reader.Disconnect(static_cast<scard::Disposition>(p & 3));
      } else {
        reader.Reconnect(kBothProtocols, static_cast<scard::Disposition>(p & 3));
      }
      break;
  }
}

}  // namespace

std::string ProfileFor(std::uint8_t choice) {
  static const char* const kProfiles[] = {"tpdu-basic",  "apdu-short", "apdu-extended",  "pinpad-lcd",
                                          "pinpad-tpdu", "multi-slot", "t1-only",        "small-messages",
                                          "composite",       "wakeup",            "pinpad-verify-modify",
                                          "five-volt-only"};
  return kProfiles[choice % (sizeof(kProfiles) / sizeof(kProfiles[0]))];
}

std::string CardFor(std::uint8_t choice) {
  static const char* const kCards[] = {"t0", "t1-ifsc32", "t1-crc", "t1-ifsc254", "t0-bytewise", ""};
  return kCards[((choice >> 4) & 7) % (sizeof(kCards) / sizeof(kCards[0]))];
}

ccid_test::BenchOptions OptionsFor(std::uint8_t choice) {
  ccid_test::BenchOptions options;
  options.profile = ProfileFor(choice & 15);
  if (choice & 0x80) options.bus.mode = hosted::usb::CompletionMode::Synchronous;
  return options;
}

void PlaySession(ccid_test::ReaderBench& bench, const std::string& card, std::span<const std::uint8_t> operations) {
  static const bool trace = std::getenv("CCID_FUZZ_TRACE") != nullptr;
  if (!card.empty()) bench.InsertCard(card);
  const NTSTATUS plugged = bench.Plug();
  if (trace) std::fprintf(stderr, "[session] %s, card %s: start %08X\n", bench.Reader().Profile().name.c_str(),
                          card.c_str(), static_cast<unsigned>(plugged));
  if (plugged != STATUS_SUCCESS) return;
  std::unique_ptr<scard::Reader> reader = bench.Open();
  if (!reader) return;
  for (const std::uint8_t operation : operations) Play(bench, *reader, card, operation);
  reader->Close();
}

}  // namespace ccid_fuzz
