// Hostile callers: every control code the driver serves (the smart-card requests, the
// part 10 features, the driver's own codes, and codes it does not know), sent through the
// user-mode side with input and output lengths and contents from the input, some of them
// cancelled at once, on a started reader with a card. Every request must come back; the
// driver must read no byte past the caller's input, write none past its output (the
// system buffer is a pool block with guard bytes), and leave nothing behind.
//
// Input: byte 0 = the bench (profile, card, completion mode: driver_session.h); then
// requests, each
//   code byte c: kCodes[c & 31]; bit 5: input length doubled; bit 6: cancelled at once;
//     bit 7: the application connects first
//   input length: one byte (0..255, or 0..510 doubled)
//   output length: one byte o: o < 0xF0 ? 2 * o : a border length (kBorderLengths)
//   the input bytes (what the input lacks is zero).
// `--write-seeds=DIR` writes the seed corpus.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <hosted/kernel/hosted.h>

#include "CcidFeatures.h"
#include "CcidIoctl.h"
#include "driver_session.h"

namespace {

using ccid_fuzz::Bytes;

using namespace std::chrono_literals;

const ULONG kCodes[] = {
    IOCTL_SMARTCARD_POWER,         IOCTL_SMARTCARD_GET_ATTRIBUTE,    IOCTL_SMARTCARD_SET_ATTRIBUTE,
    IOCTL_SMARTCARD_CONFISCATE,    IOCTL_SMARTCARD_TRANSMIT,         IOCTL_SMARTCARD_EJECT,
    IOCTL_SMARTCARD_SWALLOW,       IOCTL_SMARTCARD_IS_PRESENT,       IOCTL_SMARTCARD_IS_ABSENT,
    IOCTL_SMARTCARD_SET_PROTOCOL,  IOCTL_SMARTCARD_GET_STATE,        IOCTL_SMARTCARD_GET_LAST_ERROR,
    IOCTL_SMARTCARD_GET_PERF_CNTR, CM_IOCTL_GET_FEATURE_REQUEST,     IOCTL_FEATURE_VERIFY_PIN_DIRECT,
    IOCTL_FEATURE_MODIFY_PIN_DIRECT, IOCTL_FEATURE_IFD_PIN_PROPERTIES, IOCTL_FEATURE_GET_TLV_PROPERTIES,
    IOCTL_FEATURE_CCID_ESC_COMMAND, IOCTL_CCID_GET_CLASS_DESCRIPTOR, IOCTL_CCID_ABORT,
    IOCTL_CCID_GET_CLOCK_FREQUENCIES, IOCTL_CCID_GET_DATA_RATES,     IOCTL_CCID_TRANSFER,
    IOCTL_CCID_READ_EVENT,         SCARD_CTL_CODE(3500),             SCARD_CTL_CODE(3401),
    IOCTL_CCID_READ_EVENT + 4,     SCARD_CTL_CODE(13),               SCARD_CTL_CODE(0),
    IOCTL_SMARTCARD_TRANSMIT,      IOCTL_CCID_TRANSFER,
};
constexpr std::size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);
static_assert(kCodeCount == 32, "the code byte's low five bits index the codes");

const ULONG kBorderLengths[] = {1, 3, 7, 9, 257, 258, 259, 271, 272, 320, 321, 4096, 65536, 65538, 0x10000 + 10, 0};

// Kernel time a request is given before the application cancels it.
constexpr std::chrono::nanoseconds kPatience = 3s;

void RunInput(std::span<const std::uint8_t> input) {
  if (input.empty()) return;
  ccid_fuzz::InputSession session;
  ccid_test::ReaderBench bench(ccid_fuzz::OptionsFor(input[0]));
  const std::string card = ccid_fuzz::CardFor(input[0]);
  if (!card.empty()) bench.InsertCard(card);
  if (bench.Plug() == STATUS_SUCCESS) {
    if (auto reader = bench.Open()) {
      bench.Reader().TypeKeys("1234#");
      ccid_fuzz::ByteStream stream(input.subspan(1));
      while (!stream.Done()) {
        const std::uint8_t c = stream.NextOr(0);
        if (c & 0x80) reader->Connect(scard::Share::Exclusive, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        const std::size_t inputLength = static_cast<std::size_t>(stream.NextOr(0)) * (c & 0x20 ? 2 : 1);
        const std::uint8_t o = stream.NextOr(0);
        const ULONG outputLength = o < 0xF0 ? 2u * o : kBorderLengths[o - 0xF0];
        Bytes in = stream.Take(inputLength);
        in.resize(inputLength, 0);
        auto request = reader->ControlAsync(kCodes[c & 31], in, outputLength);
        if (c & 0x40) request->Cancel();
        if (!hosted::Scheduler::RunUntil([&request] { return request->Done(); }, kPatience)) request->Cancel();
        request->Wait();
        request->Result();
      }
      reader->Close();
    }
  }
  bench.Finish();
}

// One request of a seed: code index, input, output length byte.
void Append(Bytes& seed, std::uint8_t code, const Bytes& in, std::uint8_t output) {
  const bool twice = in.size() > 255;
  seed.push_back(static_cast<std::uint8_t>(code | (twice ? 0x20 : 0)));
  seed.push_back(static_cast<std::uint8_t>(twice ? (in.size() + 1) / 2 : in.size()));
  seed.push_back(output);
  seed.insert(seed.end(), in.begin(), in.end());
  if (twice && in.size() % 2) seed.push_back(0);
}

Bytes Ulong(ULONG value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 24)};
}

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void WriteSeeds(const std::filesystem::path& directory) {
  using ccid_fuzz::WriteSeed;
  const std::uint8_t kConnect = 0x80;
  const Bytes pci = Join(Ulong(SCARD_PROTOCOL_T0), Ulong(8));
  const Bytes pciT1 = Join(Ulong(SCARD_PROTOCOL_T1), Ulong(8));
  const Bytes getChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};
  const Bytes verifyApdu = Join({0x00, 0x20, 0x00, 0x81, 0x08}, Bytes(8, 0xFF));
  const Bytes verify = Join({0x00, 0x00, 0x82, 0x08, 0x00, 0x08, 0x04, 0x02, 0x01, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00,
                             static_cast<std::uint8_t>(verifyApdu.size()), 0x00, 0x00, 0x00},
                            verifyApdu);
  const Bytes modify = Join({0x00, 0x00, 0x82, 0x08, 0x00, 0x00, 0x08, 0x08, 0x04, 0x03, 0x02, 0x03, 0x09, 0x04, 0x00,
                             0x01, 0x02, 0x00, 0x00, 0x00, 5, 0x00, 0x00, 0x00},
                            {0x00, 0x24, 0x00, 0x81, 0x00});
  struct Request {
    std::uint8_t code;
    Bytes in;
    std::uint8_t out;
  };
  const struct {
    const char* name;
    std::uint8_t profileAndCard;
    std::vector<Request> requests;
  } seeds[] = {
      {"power", 0x00, {{0, Ulong(SCARD_COLD_RESET), 40}, {0, Ulong(SCARD_WARM_RESET), 1}, {0, Ulong(SCARD_POWER_DOWN), 0}}},
      {"attributes", 0x00,
       {{1, Ulong(SCARD_ATTR_ATR_STRING), 40}, {1, Ulong(SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0100)), 2},
        {1, Ulong(SCARD_ATTR_VALUE(SCARD_CLASS_COMMUNICATIONS, 0x0004)), 2}, {1, {}, 4}}},
      {"set-attribute", 0x00, {{2, Join(Ulong(SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0004)), Ulong(1)), 0}}},
      {"transmit-t0", 0x00, {{kConnect | 4, Join(pci, getChallenge), 130}, {4, pci, 1}, {4, {1, 0, 0}, 0}}},
      {"transmit-t1", 0x10, {{kConnect | 4, Join(pciT1, getChallenge), 130}, {4 | 0x40, Join(pciT1, getChallenge), 0}}},
      {"transmit-long", 0x00, {{kConnect | 4, Join(Join(pci, {0x00, 0xD6, 0x00, 0x00, 0xFF}), Bytes(255, 1)), 0xF0 + 4}}},
      {"confiscate-eject-swallow", 0x00, {{3, {}, 0}, {5, {}, 0}, {6, {}, 0}}},
      {"presence", 0x00, {{7, {}, 0}, {8, {}, 0}, {8 | 0x40, {}, 0}}},
      {"presence-no-card", 0x50, {{7, {}, 0}, {8, {}, 0}}},
      {"set-protocol", 0x00,
       {{0, Ulong(SCARD_COLD_RESET), 40}, {9, Ulong(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), 2}, {9, {3}, 4}}},
      {"state-and-errors", 0x00, {{10, {}, 2}, {11, {}, 2}, {12, {}, 0xF0 + 15}}},
      {"features", 0x03, {{13, {}, 18}, {16, {}, 2}, {17, {}, 7}, {13, {}, 0}}},
      {"verify-pin", 0x03, {{kConnect | 14, verify, 1}, {14, Bytes(verify.begin(), verify.begin() + 18), 1}}},
      {"verify-pin-tpdu", 0x04, {{kConnect | 14, verify, 1}}},
      {"modify-pin", 0x03, {{kConnect | 15, modify, 1}}},
      {"escape", 0x03, {{18, {0x01}, 32}, {18, Bytes(261, 'A'), 8}, {18 | 0x40, {0x01}, 32}}},
      {"escape-long", 0x0A, {{18, Bytes(300, 'B'), 0xF0 + 9}}},
      {"class-descriptor", 0x00, {{19, {}, 27}, {19, {}, 26}, {21, {}, 0xF0 + 11}, {22, {}, 2}}},
      {"abort", 0x00, {{kConnect | 20, {0}, 0}, {20, {1}, 0}, {20, {}, 0}}},
      {"raw-transfer", 0x00,
       {{23, {0x65, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 5}, {23, {0x62, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0xF0 + 6},
        {23, {0x6F, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x84, 0x00, 0x00, 0x08}, 0xF0 + 1}, {23, {0x6F, 0xFF, 0xFF}, 5}}},
      {"read-event", 0x00, {{24, {}, 8}, {24 | 0x40, {}, 1}, {24, {}, 0}}},
      {"unknown-codes", 0x00, {{25, {1, 2, 3}, 8}, {26, {}, 8}, {27, {}, 1}, {28, {0}, 0}, {29, {}, 0}}},
      {"apdu-extended", 0x32, {{kConnect | 4, Join(pciT1, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00}), 0xF0 + 13}}},
      {"multi-slot", 0x05, {{23, {0x65, 0, 0, 0, 0, 1, 0, 0, 0, 0}, 5}, {20, {1}, 0}, {24, {}, 8}}},
  };
  for (const auto& s : seeds) {
    Bytes seed{s.profileAndCard};
    for (const Request& r : s.requests) Append(seed, r.code, r.in, r.out);
    WriteSeed(directory, s.name, seed);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  return ccid_fuzz::InitializeDriverFuzzer(argc, argv, WriteSeeds);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunInput({data, size});
  return 0;
}
