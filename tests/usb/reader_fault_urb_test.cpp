// Each fault the simulated reader can be scripted with, seen by a client that sends URBs:
// what the bulk-in (or bulk-out, or default pipe) transfer brings back.
#include <gtest/gtest.h>

#include <functional>

#include "kernel_test_support.h"
#include "usb_bench.h"

namespace usb_test {
namespace {

using sim::Fault;
using sim::FaultKind;

constexpr std::uint8_t kSeq = 0x20;

struct FaultBench : Bench {
  FaultBench() {
    reader->SetEscapeReply({0x20}, Reply(20));
    reader->SetEscapeReply({0x54}, Reply(54));    // a 64-byte answer
    reader->SetEscapeReply({0x64}, Reply(100));   // a 110-byte answer
  }
  static Bytes Reply(std::size_t n) {
    Bytes r(n);
    for (std::size_t i = 0; i < n; ++i) r[i] = static_cast<std::uint8_t>(0xA0 + i);
    return r;
  }
};

Bytes Escape(std::uint8_t selector) { return Cmd(0x6B, kSeq, {selector}); }

struct FaultRow {
  const char* name;
  Fault fault;
  Bytes command;
  std::function<void(FaultBench&)> check;
};

void ExpectMessage(const UrbResult& r, std::uint8_t type, std::uint8_t seq, std::size_t payload) {
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_GE(r.data.size(), 10u);
  EXPECT_EQ(r.data[0], type);
  EXPECT_EQ(r.data[6], seq);
  EXPECT_EQ(sim::ccid::Le32(r.data, 1), payload) << "dwLength";
}

void ExpectFailed(FaultBench& b, std::uint8_t error) {
  const UrbResult r = b.host.ReadMessage();
  ExpectMessage(r, 0x83, kSeq, 0);
  EXPECT_EQ(r.data[7] >> 6, 1) << "bmCommandStatus: failed";
  EXPECT_EQ(r.data[8], error) << "bError";
}

// The reader has nothing for the host: the read stays pending until it is aborted.
void ExpectSilence(FaultBench& b) {
  auto read = b.host.StartRead(64);
  ASSERT_TRUE(b.bus->WaitForPendingTransfers(1));
  EXPECT_FALSE(read->Completed());
  EXPECT_EQ(b.host.Abort(b.host.bulkIn).status, STATUS_SUCCESS);
  EXPECT_EQ(read->Wait().status, STATUS_CANCELLED);
}

class ReaderFaultOverUrbs : public testing::TestWithParam<FaultRow> {};

TEST_P(ReaderFaultOverUrbs, SeenByTheTransfer) {
  const FaultRow& row = GetParam();
  FaultBench b;
  b.reader->AddFault(row.fault);
  row.check(b);
  EXPECT_GE(b.reader->FaultCount(row.fault.kind), 1u) << "the fault fired";
}

Fault F(FaultKind kind, std::uint32_t value = 0) { return Fault{kind, value, 0, 0, 1}; }

INSTANTIATE_TEST_SUITE_P(
    Faults, ReaderFaultOverUrbs,
    testing::Values(
        FaultRow{"no_answer", F(FaultKind::NoAnswer), {},
                 [](FaultBench& b) {
                   ASSERT_EQ(b.host.Write(Escape(0x20)).status, STATUS_SUCCESS);
                   ExpectSilence(b);
                 }},
        FaultRow{"stale_answer_first", F(FaultKind::StaleAnswerFirst, 30), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x20));
                   ExpectMessage(b.host.ReadMessage(), 0x83, kSeq - 1, 30);
                   ExpectMessage(b.host.ReadMessage(), 0x83, kSeq, 20);
                 }},
        FaultRow{"answer_from_the_future", F(FaultKind::FutureAnswer), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x20));
                   ExpectMessage(b.host.ReadMessage(), 0x83, kSeq + 1, 20);
                 }},
        FaultRow{"wrong_message_type", F(FaultKind::WrongMessageType), {},
                 [](FaultBench& b) {
                   b.host.Write(Cmd(0x65, kSeq));
                   const UrbResult r = b.host.ReadMessage();
                   ASSERT_GE(r.data.size(), 10u);
                   EXPECT_NE(r.data[0], 0x81) << "not the RDR_to_PC_SlotStatus the command calls for";
                   EXPECT_EQ(r.data[6], kSeq);
                 }},
        FaultRow{"wrong_slot", F(FaultKind::WrongSlot), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x20));
                   const UrbResult r = b.host.ReadMessage();
                   ExpectMessage(r, 0x83, kSeq, 20);
                   EXPECT_EQ(r.data[5], 1) << "bSlot";
                 }},
        FaultRow{"icc_mute", F(FaultKind::ErrorCode, 0xFE), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x20));
                   ExpectFailed(b, 0xFE);
                 }},
        FaultRow{"hw_error", F(FaultKind::ErrorCode, 0xFB), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x20));
                   ExpectFailed(b, 0xFB);
                 }},
        FaultRow{"pin_timeout", F(FaultKind::ErrorCode, 0xF0), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x20));
                   ExpectFailed(b, 0xF0);
                 }},
        FaultRow{"pin_cancelled", F(FaultKind::ErrorCode, 0xEF), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x20));
                   ExpectFailed(b, 0xEF);
                 }},
        FaultRow{"command_not_supported", F(FaultKind::ErrorCode, 0x00), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x20));
                   ExpectFailed(b, 0x00);
                 }},
        FaultRow{"time_extensions", F(FaultKind::TimeExtensions, 3), {},
                 [](FaultBench& b) {
                   int waits = -1;
                   auto m = b.host.Exchange(Escape(0x20), &waits);
                   ASSERT_TRUE(m);
                   EXPECT_EQ(waits, 3);
                   EXPECT_EQ(m->size(), 30u);
                 }},
        FaultRow{"fewer_bytes_than_dwLength", F(FaultKind::ShortPayload, 5), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x20));
                   const UrbResult r = b.host.ReadMessage();
                   ExpectMessage(r, 0x83, kSeq, 20);
                   EXPECT_EQ(r.data.size(), 10u + 15) << "five payload bytes missing";
                 }},
        FaultRow{"more_bytes_than_dwLength", F(FaultKind::LongPayload, 50), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x64));
                   // The driver's way: 64 bytes, then what dwLength says remains, plus one.
                   const UrbResult first = b.host.Read(64);
                   ExpectMessage(first, 0x83, kSeq, 100);
                   const UrbResult rest = b.host.Read(100 - 54 + 1);
                   EXPECT_EQ(rest.status, STATUS_UNSUCCESSFUL);
                   EXPECT_EQ(rest.usbd, USBD_STATUS_DATA_OVERRUN) << "a packet longer than the room left";
                   EXPECT_EQ(rest.length, 47u);
                   EXPECT_TRUE(rest.guardIntact) << "never written past the buffer";
                 }},
        FaultRow{"missing_zero_length_packet", F(FaultKind::NoZeroLengthPacket), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x54));
                   EXPECT_EQ(b.host.Read(64).length, 64u);
                   ExpectSilence(b);  // no zero-length packet follows the full one
                 }},
        FaultRow{"stall_on_bulk_in", F(FaultKind::StallBulkIn), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x20));
                   UrbResult r = b.host.Read(64);
                   EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
                   EXPECT_EQ(r.usbd, USBD_STATUS_STALL_PID);
                   EXPECT_EQ(b.host.Read(64).usbd, USBD_STATUS_ENDPOINT_HALTED)
                       << "the host halted the pipe until it is reset";
                   EXPECT_EQ(b.host.ResetPipe(b.host.bulkIn).status, STATUS_SUCCESS);
                   auto m = b.host.Exchange(Cmd(0x65, kSeq + 1));
                   ASSERT_TRUE(m);
                   EXPECT_EQ((*m)[6], kSeq + 1);
                 }},
        FaultRow{"stall_on_bulk_out", F(FaultKind::StallBulkOut), {},
                 [](FaultBench& b) {
                   const UrbResult w = b.host.Write(Escape(0x20));
                   EXPECT_EQ(w.status, STATUS_UNSUCCESSFUL);
                   EXPECT_EQ(w.usbd, USBD_STATUS_STALL_PID);
                   EXPECT_EQ(b.host.ResetPipe(b.host.bulkOut).status, STATUS_SUCCESS);
                   ASSERT_TRUE(b.host.Exchange(Cmd(0x65, kSeq + 1)));
                 }},
        FaultRow{"garbage", F(FaultKind::Garbage, 7), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x20));
                   const UrbResult r = b.host.ReadMessage();
                   EXPECT_EQ(r.status, STATUS_SUCCESS);
                   EXPECT_EQ(r.length, 7u) << "seven bytes that are no CCID message";
                 }},
        FaultRow{"unplug_in_the_middle_of_the_answer", F(FaultKind::UnplugMidAnswer, 1), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x64));
                   const UrbResult r = b.host.ReadMessage();
                   EXPECT_EQ(r.status, STATUS_DEVICE_NOT_CONNECTED);
                   EXPECT_EQ(r.usbd, USBD_STATUS_DEVICE_GONE);
                   EXPECT_EQ(r.length, 64u) << "the packet that went out before";
                   EXPECT_EQ(b.host.Write(Cmd(0x65, 1)).dispatch, STATUS_DEVICE_NOT_CONNECTED);
                 }},
        FaultRow{"unplug_on_the_command", F(FaultKind::UnplugOnCommand), {},
                 [](FaultBench& b) {
                   b.host.Write(Escape(0x20));
                   const UrbResult r = b.host.ReadMessage();
                   EXPECT_EQ(r.status, STATUS_DEVICE_NOT_CONNECTED);
                   EXPECT_EQ(r.length, 0u);
                   EXPECT_TRUE(b.bus->Unplugged());
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReaderControlFaultOverUrbs, StallShortAndReplacedAnswersOnTheDefaultPipe) {
  Bench b("tpdu-basic", {}, false);
  b.reader->AddControlFault(sim::ControlFault{6, 0x0200, sim::ControlFault::Action::Stall});
  UrbResult r = b.host.Run(DescriptorRequest(b.host.Pdo(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9));
  EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r.usbd, USBD_STATUS_STALL_PID);
  b.reader->AddControlFault(sim::ControlFault{6, 0x0100, sim::ControlFault::Action::Truncate, 8});
  r = b.host.Run(DescriptorRequest(b.host.Pdo(), USB_DEVICE_DESCRIPTOR_TYPE, 0, 18));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.length, 8u) << "the data stage cut short";
  b.reader->AddControlFault(
      sim::ControlFault{6, 0x0200, sim::ControlFault::Action::Replace, 0, Bytes{9, 2, 0xFF, 0xFF, 1, 1, 0, 0x80, 50}});
  r = b.host.Run(DescriptorRequest(b.host.Pdo(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.data, (Bytes{9, 2, 0xFF, 0xFF, 1, 1, 0, 0x80, 50})) << "a configuration claiming 65535 bytes";
  EXPECT_TRUE(b.host.Configure()) << "faults used up: the real descriptors again";
}

}  // namespace
}  // namespace usb_test
