// The application path end to end: an application opens the reader, powers the card,
// selects a protocol and exchanges APDUs, through the user-mode side, the smart-card
// library, the driver, the USB stack and the simulated reader and card. Each exchange is
// judged by what the application received and by what the reader saw on the wire.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "CcidWire.h"
#include "driver_bench.h"
#include "iso7816/bytes.h"
#include "scard.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;

const Bytes kSelectApp = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D};

Bytes Hex(std::string_view text) {
  const auto bytes = iso7816::FromHex(text);
  EXPECT_TRUE(bytes.has_value()) << text;
  return bytes.value_or(Bytes{});
}

// UPDATE BINARY of `length` bytes at offset 0 of the current EF.
Bytes Update(std::size_t length) {
  Bytes apdu{0x00, 0xD6, 0x00, 0x00, static_cast<std::uint8_t>(length)};
  for (std::size_t i = 0; i < length; ++i) apdu.push_back(static_cast<std::uint8_t>(7 + 13 * i));
  return apdu;
}

// A plugged reader with a card, opened by an application and connected.
struct Connected {
  // `faults` are armed in the reader before the application connects.
  Connected(const char* readerProfile, const char* card, ULONG protocols, const std::vector<sim::Fault>& faults = {})
      : bench(readerProfile) {
    EXPECT_EQ(bench.Plug(), STATUS_SUCCESS);
    if (*card != '\0') bench.InsertCard(card);  // "": an empty slot
    bench.WaitInterruptIdle();
    bench.ClearMessages();
    for (const sim::Fault& fault : faults) {
      // A reader that never answers leaves its command outstanding when the driver moves on.
      if (fault.kind == sim::FaultKind::NoAnswer) bench.ExpectProtocolError(ccid_test::kRuleCommandWhileOutstanding);
      bench.Reader().AddFault(fault);
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    reader = scard::Reader::Open(bench.Bus().Pdo(), &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (reader != nullptr) connected = reader->Connect(scard::Share::Exclusive, protocols, &active);
  }

  ReaderBench bench;
  std::unique_ptr<scard::Reader> reader;
  NTSTATUS connected = STATUS_UNSUCCESSFUL;
  ULONG active = 0;
};

// The PC_to_RDR messages of one type since the last clear, headers included.
std::vector<Bytes> Sent(const ReaderBench& bench, std::uint8_t type) {
  std::vector<Bytes> out;
  for (const Bytes& command : bench.Commands())
    if (!command.empty() && command[0] == type) out.push_back(command);
  return out;
}

Bytes Payload(const Bytes& message) {
  return message.size() <= CCID_HEADER_SIZE ? Bytes{} : Bytes(message.begin() + CCID_HEADER_SIZE, message.end());
}

struct ApduRow {
  const char* name;
  const char* reader;
  const char* card;
  std::vector<const char*> setup;  // commands sent first, each answered 9000 or 61xx
  std::string apdu;
  std::uint16_t sw;               // SW1 SW2; 6100: any 61xx
  std::size_t body;               // response data bytes before SW1 SW2
  std::string firstPayload;       // the first XfrBlock's data, when given
  std::size_t xfrBlocks;          // XfrBlock messages the command took (0: not checked)
};

// The four command cases and the T=0 status words that ask the application for another
// command, on a TPDU reader (the library turns each APDU into its TPDU) and on readers
// that exchange whole APDUs (the APDU goes out unchanged, all of the answer comes back,
// in parts both ways where an extended-APDU reader's messages are too short).
TEST(Application, EveryCommandCaseOnEveryExchangeLevel) {
  const char* selectData = "00A4020C025001";
  const char* selectLarge = "00A4020C025002";
  const char* selectApp = "00A4040C08F0434349445349 4D";
  const ApduRow rows[] = {
      {"t0 case 1", "tpdu-basic", "t0", {}, "00200081", 0x63C3, 0, "0020008100", 1},
      {"t0 case 2", "tpdu-basic", "t0", {selectApp, selectData}, "00B0000010", 0x9000, 16, "00B0000010", 1},
      {"t0 case 2, Le 00 is 256", "tpdu-basic", "t0", {selectApp, selectData}, "00B0000000", 0x9000, 256, "", 1},
      {"t0 case 3", "tpdu-basic", "t0", {selectApp, selectLarge}, "00D600000401020304", 0x9000, 0,
       "00D600000401020304", 1},
      {"t0 case 4 goes as case 3 and is answered 61xx", "tpdu-basic", "t0", {},
       "00A4040008F04343494453494D00", 0x6100, 0, "00A4040008F04343494453494D", 1},
      {"t0 6Cxx names the length the card has", "tpdu-basic", "t0", {selectApp, selectData}, "00B000F810", 0x6C08,
       0, "00B000F810", 1},
      {"t0 the command again with that length", "tpdu-basic", "t0", {selectApp, selectData}, "00B000F808", 0x9000,
       8, "00B000F808", 1},
      {"t0 byte-wise card with NULLs", "tpdu-basic", "t0-bytewise", {selectApp, selectLarge}, "00D600000401020304",
       0x9000, 0, "00D600000401020304", 1},
      {"short-APDU reader", "apdu-short", "t1-ifsc32", {selectApp, selectData}, "00B0000000", 0x9000, 256,
       "00B0000000", 1},
      {"extended-APDU reader, answer in one message", "apdu-extended", "dual", {selectApp, selectData},
       "00B0000080", 0x9000, 128, "00B0000080", 1},
      {"extended-APDU reader chaining its answer", "t1-only", "t1-ifsc254", {selectApp, selectData}, "00B0000000",
       0x9000, 256, "00B0000000", 2},
      {"extended-APDU reader taking a command in parts", "t1-only", "t1-ifsc254", {selectApp, selectLarge},
       iso7816::ToHex(Update(255)), 0x9000, 0, "", 2},
  };
  for (const ApduRow& row : rows) {
    SCOPED_TRACE(row.name);
    Connected c(row.reader, row.card, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    ASSERT_EQ(c.connected, STATUS_SUCCESS);
    for (const char* command : row.setup) {
      const scard::Response response = c.reader->Transmit(Hex(command));
      ASSERT_EQ(response.status, STATUS_SUCCESS) << command;
      ASSERT_TRUE(response.StatusWord() == 0x9000 || response.StatusWord() >> 8 == 0x61) << command;
    }
    c.bench.ClearMessages();
    const scard::Response response = c.reader->Transmit(Hex(row.apdu));
    ASSERT_EQ(response.status, STATUS_SUCCESS);
    if (row.sw == 0x6100) {
      EXPECT_EQ(response.StatusWord() & 0xFF00, row.sw);
    } else {
      EXPECT_EQ(response.StatusWord(), row.sw);
    }
    EXPECT_EQ(response.Body().size(), row.body);
    const std::vector<Bytes> xfr = Sent(c.bench, CCID_PC_TO_RDR_XFR_BLOCK);
    ASSERT_FALSE(xfr.empty());
    if (!row.firstPayload.empty()) {
      EXPECT_EQ(Payload(xfr[0]), Hex(row.firstPayload));
    }
    if (row.xfrBlocks != 0) {
      EXPECT_EQ(xfr.size(), row.xfrBlocks);
    }
  }
}

// What the T=1 blocks of one command looked like on the wire.
struct T1Traffic {
  std::size_t iOut = 0;    // I-blocks the host sent
  std::size_t maxInf = 0;  // the longest INF among them
  std::size_t iIn = 0;     // I-blocks the card sent
  std::size_t rOut = 0;    // R-blocks the host sent
  std::size_t wtxOut = 0;  // S(WTX response)s the host sent, each with bBWI = the card's multiplier
};

T1Traffic Blocks(const ReaderBench& bench, std::uint8_t wtxMultiplier) {
  constexpr std::uint8_t kWtxResponse = 0xE3;
  T1Traffic t;
  for (const hosted::usb::MessageEvent& event : bench.Messages()) {
    if (event.type != hosted::usb::TransferType::Bulk || event.data.size() < CCID_HEADER_SIZE + 3) continue;
    const std::uint8_t type = event.data[0];
    const std::uint8_t pcb = event.data[CCID_HEADER_SIZE + 1];
    const std::size_t inf = event.data[CCID_HEADER_SIZE + 2];
    if (!event.in && type == CCID_PC_TO_RDR_XFR_BLOCK) {
      if ((pcb & 0x80) == 0) {
        ++t.iOut;
        t.maxInf = std::max(t.maxInf, inf);
      } else if ((pcb & 0xC0) == 0x80) {
        ++t.rOut;
      } else if (pcb == kWtxResponse) {
        ++t.wtxOut;
        EXPECT_EQ(event.data[7], wtxMultiplier) << "bBWI of the block that answers S(WTX)";
      }
    } else if (event.in && type == CCID_RDR_TO_PC_DATA_BLOCK && (pcb & 0x80) == 0) {
      ++t.iIn;
    }
  }
  return t;
}

struct T1Row {
  const char* name;
  const char* card;
  std::vector<const char*> setup;
  Bytes apdu;
  std::size_t body;
  std::vector<sim::Fault> faults;  // armed for the command's XfrBlocks
  T1Traffic expected;
};

// T=1 at block level through the library's T=1 host: chaining both ways around IFSC 32
// and 254 and the reader's IFSD, waiting-time extensions sent on with the card's
// multiplier as bBWI, and a block garbled on the line in either direction recovered by
// an R-block. Every command still ends 9000 with all of its answer.
TEST(Application, T1BlocksChainWaitAndRecover) {
  const char* selectApp = "00A4040C08F04343494453494D";
  const char* selectData = "00A4020C025001";
  const char* selectLarge = "00A4020C025002";
  const sim::Fault garbledToHost{sim::FaultKind::CorruptToHost, 5, CCID_PC_TO_RDR_XFR_BLOCK};
  const sim::Fault garbledToCard{sim::FaultKind::CorruptToCard, 5, CCID_PC_TO_RDR_XFR_BLOCK};
  const T1Row rows[] = {
      {"IFSC 32: the host chains a 105-byte command", "t1-ifsc32", {selectApp, selectLarge}, Update(100), 0, {},
       {4, 32, 1, 0, 0}},
      {"IFSC 254: a 205-byte command in one block", "t1-ifsc254", {selectApp, selectLarge}, Update(200), 0, {},
       {1, 205, 1, 0, 0}},
      {"IFSC 254: a 260-byte command in two", "t1-ifsc254", {selectApp, selectLarge}, Update(255), 0, {},
       {2, 254, 1, 0, 0}},
      {"the card chains a 258-byte answer", "t1-ifsc32", {selectApp, selectData}, Hex("00B0000000"), 256, {},
       {1, 5, 2, 1, 0}},
      {"time extensions", "many-wtx", {}, kSelectApp, 0, {}, {1, 13, 1, 0, 4}},
      {"a block garbled towards the host", "t1-ifsc32", {selectApp, selectData}, Hex("00B0000010"), 16,
       {garbledToHost}, {1, 5, 2, 1, 0}},
      {"a block garbled towards the card", "t1-ifsc32", {selectApp, selectData}, Hex("00B0000010"), 16,
       {garbledToCard}, {2, 5, 1, 0, 0}},
  };
  for (const T1Row& row : rows) {
    SCOPED_TRACE(row.name);
    Connected c("tpdu-basic", row.card, SCARD_PROTOCOL_T1);
    ASSERT_EQ(c.connected, STATUS_SUCCESS);
    ASSERT_EQ(c.active, static_cast<ULONG>(SCARD_PROTOCOL_T1));
    for (const char* command : row.setup) ASSERT_EQ(c.reader->Transmit(Hex(command)).StatusWord(), 0x9000) << command;
    c.bench.ClearMessages();
    for (const sim::Fault& fault : row.faults) c.bench.Reader().AddFault(fault);
    const scard::Response response = c.reader->Transmit(row.apdu);
    ASSERT_EQ(response.status, STATUS_SUCCESS);
    EXPECT_EQ(response.StatusWord(), 0x9000);
    EXPECT_EQ(response.Body().size(), row.body);
    const T1Traffic seen = Blocks(c.bench, row.card == std::string("many-wtx") ? 3 : 0);
    EXPECT_EQ(seen.iOut, row.expected.iOut);
    EXPECT_EQ(seen.maxInf, row.expected.maxInf);
    EXPECT_EQ(seen.iIn, row.expected.iIn);
    EXPECT_EQ(seen.rOut, row.expected.rOut);
    EXPECT_EQ(seen.wtxOut, row.expected.wtxOut);
    EXPECT_EQ(c.bench.Reader().FaultsFired().size(), row.faults.size());
  }
}

TEST(Application, ConnectAndSelectTheApplication) {
  struct ConnectRow {
    const char* reader;
    const char* card;
    ULONG protocols;
    ULONG expected;
  };
  const ConnectRow rows[] = {
      {"tpdu-basic", "t0", SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T0},
      {"tpdu-basic", "t1-ifsc32", SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1},
      {"tpdu-basic", "t1-ifsc254", SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1},
      {"apdu-short", "t1-ifsc32", SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1},
      {"apdu-extended", "dual", SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1},
  };
  for (const ConnectRow& row : rows) {
    SCOPED_TRACE(std::string(row.reader) + " / " + row.card);
    Connected c(row.reader, row.card, row.protocols);
    ASSERT_EQ(c.connected, STATUS_SUCCESS);
    EXPECT_EQ(c.active, row.expected);
    const scard::Response response = c.reader->Transmit(kSelectApp);
    EXPECT_EQ(response.status, STATUS_SUCCESS);
    EXPECT_EQ(response.StatusWord() >> 8 == 0x61 ? 0x9000 : response.StatusWord(), 0x9000);
    EXPECT_EQ(c.reader->Disconnect(scard::Disposition::Unpower), STATUS_SUCCESS);
    EXPECT_EQ(c.reader->Close(), STATUS_SUCCESS);
  }
}

// The card pulled out while the reader works on a command: the application hears that
// the card is gone, not a time-out or an unrecognised card, the card state follows at
// once, and the application's wait for the removal completes.
TEST(Application, CardPulledOutDuringACommand) {
  struct Row {
    const char* reader;
    const char* card;
  };
  for (const Row& row : {Row{"tpdu-basic", "t0"}, Row{"tpdu-basic", "t1-ifsc32"}, Row{"apdu-short", "t1-ifsc32"}}) {
    SCOPED_TRACE(std::string(row.reader) + " / " + row.card);
    Connected c(row.reader, row.card, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    ASSERT_EQ(c.connected, STATUS_SUCCESS);
    auto removal = c.reader->WaitForCard(false);
    hosted::Scheduler::Settle();
    ASSERT_FALSE(removal->Done());
    c.bench.ClearMessages();
    c.bench.Reader().AddFault({sim::FaultKind::CardPulled, 2, CCID_PC_TO_RDR_XFR_BLOCK});
    EXPECT_EQ(c.reader->Transmit(kSelectApp).status, STATUS_NO_MEDIA);
    EXPECT_EQ(c.reader->State(), static_cast<ULONG>(SCARD_ABSENT));
    ASSERT_TRUE(removal->Wait());
    EXPECT_EQ(removal->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(c.bench.Reader().FaultCount(sim::FaultKind::CardPulled), 1u);
    // Nothing more goes to the empty slot for the next command.
    c.bench.ClearMessages();
    EXPECT_NE(c.reader->Transmit(kSelectApp).status, STATUS_SUCCESS);
    EXPECT_TRUE(Sent(c.bench, CCID_PC_TO_RDR_XFR_BLOCK).empty());
  }
}

// bPowerSelect of every PC_to_RDR_IccPowerOn since the last clear.
std::vector<std::uint8_t> PowerSelects(const ReaderBench& bench) {
  std::vector<std::uint8_t> out;
  for (const Bytes& command : Sent(bench, CCID_PC_TO_RDR_ICC_POWER_ON)) out.push_back(command[7]);
  return out;
}

// The reset tries the voltages the reader lists, lowest first, then its automatic choice,
// and stops at the first the card answers. A reader that finds no card says so, and the
// application hears that the slot is empty rather than that its card is unrecognised.
TEST(Application, VoltageLadder) {
  struct Row {
    const char* reader;
    const char* card;
    NTSTATUS status;
    std::vector<std::uint8_t> powerSelects;
  };
  const Row rows[] = {
      {"tpdu-basic", "t0", STATUS_SUCCESS, {3}},
      {"tpdu-basic", "3v-only", STATUS_SUCCESS, {3, 2}},
      {"five-volt-only", "3v-only", STATUS_UNRECOGNIZED_MEDIA, {1, 0}},
      {"tpdu-basic", "mute", STATUS_UNRECOGNIZED_MEDIA, {3, 2, 1, 0}},
      {"tpdu-basic", "", STATUS_NO_MEDIA, {3, 2, 1, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.reader) + " / " + row.card);
    Connected c(row.reader, row.card, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    EXPECT_EQ(c.connected, row.status);
    EXPECT_EQ(PowerSelects(c.bench), row.powerSelects);
    const ULONG state = row.status == STATUS_SUCCESS ? SCARD_SPECIFIC : *row.card == '\0' ? SCARD_ABSENT : SCARD_PRESENT;
    EXPECT_EQ(c.reader->State(), state);
  }
}

// Parameters the card stays mute at (the reader reports it mute), or a reader that does
// not answer PC_to_RDR_SetParameters in time: after each a warm reset and a slower D
// index, the default rates at the fourth attempt, no fifth. Only a reader's silence on
// the last attempt fails the request.
TEST(Application, SetProtocolRetriesSlowerAfterTimeOuts) {
  struct Row {
    const char* card;
    std::uint32_t unanswered;
    NTSTATUS status;
    std::vector<std::uint8_t> rates;
    std::size_t resets;
  };
  const Row rows[] = {
      {"t1-ifsc254", 4, STATUS_IO_TIMEOUT, {0x96, 0x95, 0x94, 0x11}, 4},
      {"t1-ifsc254", 2, STATUS_SUCCESS, {0x96, 0x95, 0x94}, 2},
      {"t1-ifsc32", 1, STATUS_SUCCESS, {0x18, 0x14}, 1},
      {"t1-ifsc32", 3, STATUS_SUCCESS, {0x18, 0x14, 0x13, 0x11}, 3},
      {"slow-t1", 0, STATUS_SUCCESS, {0x96, 0x95, 0x94}, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.card) + ", unanswered " + std::to_string(row.unanswered));
    sim::Fault silent{sim::FaultKind::NoAnswer, 0, CCID_PC_TO_RDR_SET_PARAMETERS};
    silent.times = row.unanswered;
    Connected c("tpdu-basic", row.card, SCARD_PROTOCOL_T1,
                row.unanswered == 0 ? std::vector<sim::Fault>{} : std::vector<sim::Fault>{silent});
    // The driver sends its next command after a time-out without a CCID abort.
    if (row.unanswered != 0) c.bench.ExpectProtocolError(ccid_test::kRuleCommandWhileOutstanding);
    EXPECT_EQ(c.connected, row.status);
    EXPECT_EQ(c.active, row.status == STATUS_SUCCESS ? static_cast<ULONG>(SCARD_PROTOCOL_T1) : 0u);
    std::vector<std::uint8_t> rates;
    std::size_t resets = 0;
    for (const Bytes& command : c.bench.Commands()) {
      if (command[0] == CCID_PC_TO_RDR_SET_PARAMETERS) rates.push_back(command[CCID_HEADER_SIZE]);
      if (command[0] == CCID_PC_TO_RDR_ICC_POWER_ON && !rates.empty()) ++resets;
    }
    EXPECT_EQ(rates, row.rates);
    EXPECT_EQ(resets, row.resets) << "a warm reset after each time-out";
    if (row.status == STATUS_SUCCESS) {
      EXPECT_EQ(c.reader->Transmit(kSelectApp).StatusWord(), 0x9000);
    }
  }
}

// An answer the reader sends in parts that outgrows the library's reply buffer is
// refused without writing past it (the pool's guard bytes are checked after each test),
// and the reader stays in step for the next command.
TEST(Application, AnswerBeyondTheReplyBufferIsRefused) {
  Connected c("apdu-extended", "t1-ifsc254", SCARD_PROTOCOL_T1);
  ASSERT_EQ(c.connected, STATUS_SUCCESS);
  ASSERT_EQ(c.reader->Transmit(kSelectApp).StatusWord(), 0x9000);
  ASSERT_EQ(c.reader->Transmit(Hex("00A4020C025002")).StatusWord(), 0x9000);
  c.bench.ClearMessages();
  EXPECT_EQ(c.reader->Transmit(Hex("00B00000000200"), 1024).status, STATUS_BUFFER_TOO_SMALL);  // Le 512
  EXPECT_EQ(Sent(c.bench, CCID_PC_TO_RDR_XFR_BLOCK).size(), 2u) << "the command and the answer's second part";
  const scard::Response next = c.reader->Transmit(Hex("00B0000010"));
  EXPECT_EQ(next.StatusWord(), 0x9000);
  EXPECT_EQ(next.Body().size(), 16u);
}

// A T=1 block waits for its answer the card's block waiting time, which the library
// keeps in microseconds, times the extension the card asked for, in milliseconds and with
// the driver's allowance for carrying the block: not a thousand times longer, and
// extended for the block that answers S(WTX). Measured on virtual time, from the moment the
// unanswered block's read began.
TEST(Application, T1BlockTimeOutIsTheWaitingTimeTimesTheExtension) {
  constexpr std::int64_t kAllowanceMs = 2000;
  struct Row {
    const char* name;
    std::uint32_t answeredBlocks;  // XfrBlocks answered before the one that is not
    std::int64_t multiplier;
  };
  for (const Row& row : {Row{"the first block", 0, 1}, Row{"the block answering S(WTX)", 1, 3}}) {
    SCOPED_TRACE(row.name);
    Connected c("tpdu-basic", "many-wtx", SCARD_PROTOCOL_T1);
    ASSERT_EQ(c.connected, STATUS_SUCCESS);
    ASSERT_EQ(c.reader->Transmit(kSelectApp).StatusWord(), 0x9000);  // the session's S(IFS) is behind
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const Bytes bwt = c.reader->Attribute(SCARD_ATTR_CURRENT_BWT, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ULONG bwtMicroseconds = 0;
    std::memcpy(&bwtMicroseconds, bwt.data(), std::min(bwt.size(), sizeof(bwtMicroseconds)));
    ASSERT_GT(bwtMicroseconds, 0u);
    sim::Fault silent{sim::FaultKind::NoAnswer, 0, CCID_PC_TO_RDR_XFR_BLOCK};
    silent.skip = row.answeredBlocks;
    c.bench.ExpectProtocolError(ccid_test::kRuleCommandWhileOutstanding);
    c.bench.Reader().AddFault(silent);
    c.bench.ExpectProtocolError(ccid_test::kRuleCommandWhileOutstanding);  // the power-down at the end
    const std::int64_t ms = (bwtMicroseconds * row.multiplier + 999) / 1000 + kAllowanceMs;
    // The unanswered block's read begins after the USB frames and the card's time of what
    // went before it; the transmit ends exactly the time-out after that read began.
    c.bench.Bus().ClearTransfers();
    const scard::Response response = c.reader->Transmit(kSelectApp);
    std::int64_t lastRead = -1;
    for (const hosted::usb::TransferRecord& record : c.bench.Bus().Transfers())
      if (record.type == hosted::usb::TransferType::Bulk && record.in) lastRead = record.submitted;
    ASSERT_GE(lastRead, 0);
    EXPECT_EQ(hosted::Clock::Now() - lastRead, ms * hosted::Clock::kTicksPerMillisecond);
    EXPECT_EQ(response.status, STATUS_IO_TIMEOUT);
  }
}

}  // namespace
