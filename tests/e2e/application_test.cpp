// The application path end to end: an application opens the reader, powers the card,
// selects a protocol and exchanges APDUs, through the user-mode side, the smart-card
// library, the driver, the USB stack and the simulated reader and card.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include "driver_bench.h"
#include "scard.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;

const Bytes kSelectApp = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D};

struct ConnectRow {
  const char* reader;
  const char* card;
  ULONG protocols;
  ULONG expected;
};

TEST(Application, ConnectAndSelectTheApplication) {
  const ConnectRow rows[] = {
      {"tpdu-basic", "t0", SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T0},
      {"tpdu-basic", "t1-ifsc32", SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1},
      {"tpdu-basic", "t1-ifsc254", SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1},
      {"apdu-short", "t1-ifsc32", SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1},
      {"apdu-extended", "dual", SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1},
  };
  for (const ConnectRow& row : rows) {
    SCOPED_TRACE(std::string(row.reader) + " / " + row.card);
    ReaderBench bench(row.reader);
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    bench.InsertCard(row.card);
    bench.WaitInterruptIdle();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto reader = scard::Reader::Open(bench.Bus().Pdo(), &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ULONG active = 0;
    ASSERT_EQ(reader->Connect(scard::Share::Exclusive, row.protocols, &active), STATUS_SUCCESS);
    EXPECT_EQ(active, row.expected);
    const scard::Response response = reader->Transmit(kSelectApp);
    EXPECT_EQ(response.status, STATUS_SUCCESS);
    EXPECT_EQ(response.StatusWord() >> 8 == 0x61 ? 0x9000 : response.StatusWord(), 0x9000);
    EXPECT_EQ(reader->Disconnect(scard::Disposition::Unpower), STATUS_SUCCESS);
    EXPECT_EQ(reader->Close(), STATUS_SUCCESS);
  }
}

}  // namespace
