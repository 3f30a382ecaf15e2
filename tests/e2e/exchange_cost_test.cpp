// What one APDU costs on the hosted platform, held: the bulk-in reads, the driver's pool
// blocks and the IRPs of a transmit, counted by the hosted kernel and the USB stack while
// an application's request goes through the library, the driver and the simulated reader;
// and one interrupt URB per slot-change message. A change that adds a read, a block or an
// IRP to these paths fails here.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <string>

#include "CcidDevice.h"
#include "driver_bench.h"
#include "scard.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;
using hosted::usb::TransferRecord;
using hosted::usb::TransferType;

const Bytes kSelectApp = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D};

// READ BINARY of the free 4096-byte file (short EF 2) from offset 0.
Bytes ReadBinary(std::uint8_t le) { return {0x00, 0xB0, 0x82, 0x00, le}; }

// UPDATE BINARY of `length` bytes into the same file.
Bytes UpdateBinary(std::uint8_t length) {
  Bytes apdu = {0x00, 0xD6, 0x82, 0x00, length};
  for (std::uint8_t i = 0; i < length; ++i) apdu.push_back(i);
  return apdu;
}

struct Cost {
  std::uint64_t exchanges;   // PC_to_RDR_XfrBlock messages
  std::uint64_t reads;       // bulk-in URBs
  std::uint64_t poolBlocks;  // driver pool allocations ('TAL_'), URBs included
  std::uint64_t irps;        // the application's request and the driver's transfers
};

struct CostRow {
  const char* name;
  const char* reader;
  const char* card;
  ULONG protocol;
  Bytes apdu;
  std::size_t answer;  // response data with SW1 SW2
  Cost cost;
};

// Each exchange is a write and a 64-byte read (two URBs and two IRPs) and one reply block;
// a message that fills the 64-byte packet costs one more read for its zero-length packet,
// a longer one one more read for the rest; the whole-APDU way builds its message in one
// more block. The application's request is one IRP.
const CostRow kCostRows[] = {
    {"T=0 case 2, 53-byte answer in one packet", "tpdu-basic", "t0", SCARD_PROTOCOL_T0, ReadBinary(51), 53,
     {1, 1, 3, 3}},
    {"T=0 case 2, 54-byte answer fills the packet", "tpdu-basic", "t0", SCARD_PROTOCOL_T0, ReadBinary(52), 54,
     {1, 2, 4, 4}},
    {"T=0 case 2, 55-byte answer needs a second read", "tpdu-basic", "t0", SCARD_PROTOCOL_T0, ReadBinary(53), 55,
     {1, 2, 4, 4}},
    {"APDU-level reader, 18-byte answer", "apdu-short", "t1-ifsc32", SCARD_PROTOCOL_T1, ReadBinary(16), 18,
     {1, 1, 4, 3}},
    {"T=1, 128 bytes chained in IFSC-32 blocks", "tpdu-basic", "t1-ifsc32", SCARD_PROTOCOL_T1, UpdateBinary(128), 2,
     {5, 5, 15, 11}},
};

TEST(ExchangeCost, OneTransmitCostsTheReadsBlocksAndIrpsOfItsExchanges) {
  for (const CostRow& row : kCostRows) {
    SCOPED_TRACE(row.name);
    ReaderBench bench(row.reader);
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    bench.InsertCard(row.card);
    bench.WaitInterruptIdle();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto reader = scard::Reader::Open(bench.Bus().Pdo(), &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(reader->Connect(scard::Share::Exclusive, row.protocol), STATUS_SUCCESS);
    ASSERT_EQ(reader->Transmit(kSelectApp).status, STATUS_SUCCESS);
    // The first transmit after the protocol was chosen may carry the library's own
    // set-up (T=1 IFSD); the one measured is the second.
    ASSERT_EQ(reader->Transmit(row.apdu).status, STATUS_SUCCESS);

    bench.ClearMessages();
    bench.Bus().ClearTransfers();
    const std::uint64_t blocks = hosted::Pool::Allocations(CCID_POOL_TAG);
    const std::uint64_t allBlocks = hosted::Pool::Allocations();
    const std::uint64_t irps = hosted::Irps::Allocations();
    const scard::Response response = reader->Transmit(row.apdu);
    const Cost cost{
        bench.Commands().size(), 0, hosted::Pool::Allocations(CCID_POOL_TAG) - blocks,
        hosted::Irps::Allocations() - irps};
    EXPECT_EQ(hosted::Pool::Allocations() - allBlocks, cost.poolBlocks) << "pool blocks of another tag";
    ASSERT_EQ(response.status, STATUS_SUCCESS);
    EXPECT_EQ(response.data.size(), row.answer);
    EXPECT_EQ(response.StatusWord(), 0x9000);

    std::uint64_t reads = 0;
    bool firstOfExchange = true;
    for (const TransferRecord& record : bench.Bus().Transfers()) {
      if (record.type != TransferType::Bulk) continue;
      if (!record.in) {
        firstOfExchange = true;
        continue;
      }
      ++reads;
      if (firstOfExchange) {
        EXPECT_EQ(record.requested, 64u) << "first read of an exchange";
      }
      firstOfExchange = false;
    }
    EXPECT_EQ(cost.exchanges, row.cost.exchanges);
    EXPECT_EQ(reads, row.cost.reads);
    EXPECT_EQ(cost.poolBlocks, row.cost.poolBlocks);
    EXPECT_EQ(cost.irps, row.cost.irps);
    EXPECT_EQ(reader->Close(), STATUS_SUCCESS);
  }
}

// Each interrupt message costs the driver one URB (and nothing else): the IRP is reused.
TEST(ExchangeCost, OneUrbPerInterruptMessage) {
  ReaderBench bench("tpdu-basic");
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.WaitInterruptIdle();
  bench.Bus().ClearTransfers();
  const std::uint64_t blocks = hosted::Pool::Allocations();
  const std::uint64_t irps = hosted::Irps::Allocations();
  constexpr int kMessages = 6;
  for (int i = 0; i < kMessages; ++i) {
    if (i % 2 == 0) {
      bench.InsertCard("t0");
    } else {
      bench.RemoveCard();
    }
    bench.WaitInterruptIdle();
  }
  std::uint64_t interruptUrbs = 0;
  for (const TransferRecord& record : bench.Bus().Transfers()) {
    if (record.type == TransferType::Interrupt && record.usbdStatus == USBD_STATUS_SUCCESS) ++interruptUrbs;
  }
  EXPECT_EQ(interruptUrbs, static_cast<std::uint64_t>(kMessages));
  EXPECT_EQ(hosted::Pool::Allocations() - blocks, static_cast<std::uint64_t>(kMessages));
  EXPECT_EQ(hosted::Irps::Allocations() - irps, 0u);
}

}  // namespace
