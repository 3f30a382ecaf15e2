// An application's handle on the reader and the driver's own control codes, end to end:
// one handle at a time, the event read parked and ended every way it can end, the CCID
// abort, the raw message pass-through, the class requests and the version attribute.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <cstring>
#include <functional>

#include "CcidIoctl.h"
#include "CcidWire.h"
#include "driver_bench.h"
#include "scard.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;

// A plugged reader, opened by an application.
struct Opened {
  explicit Opened(const char* profile = "tpdu-basic") : bench(profile) {
    EXPECT_EQ(bench.Plug(), STATUS_SUCCESS);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    reader = scard::Reader::Open(bench.Pdo(), &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
  }

  ReaderBench bench;
  std::unique_ptr<scard::Reader> reader;
};

TEST(ReaderRequests, OneHandleAtATime) {
  Opened o;
  ASSERT_NE(o.reader, nullptr);
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(scard::Reader::Open(o.bench.Pdo(), &status), nullptr);
  EXPECT_EQ(status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(o.reader->Close(), STATUS_SUCCESS);
  auto again = scard::Reader::Open(o.bench.Pdo(), &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_NE(again, nullptr);
}

// A read on an empty ring parks; it ends with the next interrupt message, by its
// cancellation, or when the application closes its handle (at cleanup: the close itself
// would wait for it). A second read while one is parked is refused.
TEST(ReaderRequests, EventReadParksAndEndsEveryWay) {
  Opened o;
  ASSERT_NE(o.reader, nullptr);
  // The reader's first slot change is waiting in the ring.
  const hosted::UserIoResult first = o.reader->Control(IOCTL_CCID_READ_EVENT, {}, 8);
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(first.information, 2u);

  auto answered = o.reader->ControlAsync(IOCTL_CCID_READ_EVENT, {}, 8);
  hosted::Scheduler::Settle();
  EXPECT_FALSE(answered->Done());
  const Bytes message = {CCID_RDR_TO_PC_HARDWARE_ERROR, 0x00, 0x07, 0x01};
  o.bench.Reader().InjectInterrupt(message);
  ASSERT_TRUE(answered->Wait());
  const hosted::UserIoResult result = answered->Result();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(Bytes(result.output.begin(), result.output.begin() + static_cast<long>(result.information)), message);

  auto cancelled = o.reader->ControlAsync(IOCTL_CCID_READ_EVENT, {}, 8);
  hosted::Scheduler::Settle();
  EXPECT_EQ(o.reader->Control(IOCTL_CCID_READ_EVENT, {}, 8).status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(cancelled->Cancel());
  ASSERT_TRUE(cancelled->Wait());
  EXPECT_EQ(cancelled->Result().status, STATUS_CANCELLED);

  auto closed = o.reader->ControlAsync(IOCTL_CCID_READ_EVENT, {}, 8);
  hosted::Scheduler::Settle();
  EXPECT_FALSE(closed->Done());
  EXPECT_EQ(o.reader->Close(), STATUS_SUCCESS);  // a read left at cleanup is a violation
  ASSERT_TRUE(closed->Done());
  EXPECT_EQ(closed->Result().status, STATUS_CANCELLED);
  EXPECT_EQ(o.bench.Node().OpenHandles(), 0u);
}

// What one control request did on the wire.
struct ControlRow {
  const char* name;
  ULONG code;
  Bytes input;
  ULONG output;
  NTSTATUS status;
  ULONG_PTR information;
  // Checks the answer and the messages (bulk and control) the request caused.
  std::function<void(const hosted::UserIoResult&, const std::vector<hosted::usb::MessageEvent>&)> check;
};

std::vector<hosted::usb::MessageEvent> OfType(const std::vector<hosted::usb::MessageEvent>& events,
                                               hosted::usb::TransferType type) {
  std::vector<hosted::usb::MessageEvent> out;
  for (const auto& event : events)
    if (event.type == type) out.push_back(event);
  return out;
}

void NothingSent(const hosted::UserIoResult&, const std::vector<hosted::usb::MessageEvent>& events) {
  EXPECT_TRUE(OfType(events, hosted::usb::TransferType::Bulk).empty());
  EXPECT_TRUE(OfType(events, hosted::usb::TransferType::Control).empty());
}

Bytes Le32List(const std::vector<std::uint32_t>& values) {
  Bytes out;
  for (std::uint32_t v : values)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return out;
}

// The driver's own control codes with their buffer rules; each judged by its answer and
// by what reached the reader.
TEST(ReaderRequests, DriverControlCodes) {
  const sim::ReaderProfile profile = ccid_test::CatalogueProfile("pinpad-lcd");
  const Bytes slotStatus = {0x65, 0, 0, 0, 0, 0x00, 0x77, 0, 0, 0};  // PC_to_RDR_GetSlotStatus, bSeq 0x77
  const Bytes versionEscape = {0x6B, 1, 0, 0, 0, 0x00, 0x77, 0, 0, 0, 0x01};
  const std::string version = "CCID Bench reader 1.0";
  const ControlRow rows[] = {
      {"class descriptor", IOCTL_CCID_GET_CLASS_DESCRIPTOR, {}, 54, STATUS_SUCCESS, 54,
       [&](const hosted::UserIoResult& r, const auto&) {
         EXPECT_EQ(Bytes(r.output.begin(), r.output.begin() + 54),
                   Bytes(profile.class_descriptor.begin(), profile.class_descriptor.end()));
       }},
      {"class descriptor, output of 53", IOCTL_CCID_GET_CLASS_DESCRIPTOR, {}, 53, STATUS_INSUFFICIENT_RESOURCES, 0,
       NothingSent},
      {"abort: the class request and PC_to_RDR_Abort with one bSeq", IOCTL_CCID_ABORT, {0x00}, 0, STATUS_SUCCESS, 0,
       [](const hosted::UserIoResult&, const std::vector<hosted::usb::MessageEvent>& events) {
         const auto control = OfType(events, hosted::usb::TransferType::Control);
         const auto bulk = OfType(events, hosted::usb::TransferType::Bulk);
         ASSERT_EQ(control.size(), 1u);
         ASSERT_EQ(bulk.size(), 2u);
         EXPECT_EQ(control[0].setup.bmRequestType, 0x21);
         EXPECT_EQ(control[0].setup.bRequest, CCID_REQUEST_ABORT);
         EXPECT_EQ(bulk[0].data[0], CCID_PC_TO_RDR_ABORT);
         EXPECT_EQ(control[0].setup.wValue, bulk[0].data[6] << 8);
         EXPECT_EQ(bulk[1].data[0], CCID_RDR_TO_PC_SLOT_STATUS);
       }},
      {"abort without a slot", IOCTL_CCID_ABORT, {}, 0, STATUS_INSUFFICIENT_RESOURCES, 0, NothingSent},
      {"clock frequencies", IOCTL_CCID_GET_CLOCK_FREQUENCIES, {}, 64, STATUS_SUCCESS,
       4 * profile.clock_frequencies_khz.size(),
       [&](const hosted::UserIoResult& r, const auto&) {
         EXPECT_EQ(Bytes(r.output.begin(), r.output.begin() + static_cast<long>(r.information)),
                   Le32List(profile.clock_frequencies_khz));
       }},
      {"data rates", IOCTL_CCID_GET_DATA_RATES, {}, 64, STATUS_SUCCESS, 4 * profile.data_rates_bps.size(),
       [&](const hosted::UserIoResult& r, const auto&) {
         EXPECT_EQ(Bytes(r.output.begin(), r.output.begin() + static_cast<long>(r.information)),
                   Le32List(profile.data_rates_bps));
       }},
      {"transfer: the caller's message with the driver's bSeq", IOCTL_CCID_TRANSFER, slotStatus, 10, STATUS_SUCCESS,
       10,
       [](const hosted::UserIoResult& r, const std::vector<hosted::usb::MessageEvent>& events) {
         const auto bulk = OfType(events, hosted::usb::TransferType::Bulk);
         ASSERT_EQ(bulk.size(), 2u);
         EXPECT_EQ(Bytes(bulk[0].data.begin(), bulk[0].data.begin() + 6), Bytes({0x65, 0, 0, 0, 0, 0}));
         EXPECT_NE(bulk[0].data[6], 0x77);
         EXPECT_EQ(Bytes(r.output.begin(), r.output.begin() + 10), bulk[1].data);
       }},
      {"transfer with an answer and room for it", IOCTL_CCID_TRANSFER, versionEscape,
       static_cast<ULONG>(10 + version.size()), STATUS_SUCCESS, 10 + version.size(),
       [&](const hosted::UserIoResult& r, const auto&) {
         EXPECT_EQ(std::string(r.output.begin() + 10, r.output.end()), version);
       }},
      {"transfer whose answer does not fit", IOCTL_CCID_TRANSFER, versionEscape, 10, STATUS_INSUFFICIENT_RESOURCES, 0,
       nullptr},
      {"transfer of less than a header", IOCTL_CCID_TRANSFER, Bytes(slotStatus.begin(), slotStatus.begin() + 9), 10,
       STATUS_INSUFFICIENT_RESOURCES, 0, NothingSent},
  };
  Opened o("pinpad-lcd");
  ASSERT_NE(o.reader, nullptr);
  o.bench.InsertCard("t1-ifsc32");
  o.bench.WaitInterruptIdle();
  for (const ControlRow& row : rows) {
    SCOPED_TRACE(row.name);
    o.bench.ClearMessages();
    std::vector<hosted::usb::MessageEvent> before = o.bench.SessionTrace();
    const hosted::UserIoResult result = o.reader->Control(row.code, row.input, row.output);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.information, row.information);
    std::vector<hosted::usb::MessageEvent> after = o.bench.SessionTrace();
    after.erase(after.begin(), after.begin() + static_cast<long>(before.size()));
    if (row.check) row.check(result, after);
  }
  // Whatever the requests did, the reader still answers the library in step.
  EXPECT_EQ(o.reader->Connect(scard::Share::Exclusive, SCARD_PROTOCOL_T1), STATUS_SUCCESS);
}

// The reader driver's version, filled in before every get-attribute request: 3.0 build 4.
TEST(ReaderRequests, VersionAttribute) {
  Opened o;
  ASSERT_NE(o.reader, nullptr);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  const Bytes version = o.reader->Attribute(SCARD_ATTR_VENDOR_IFD_VERSION, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(version.size(), sizeof(ULONG));
  ULONG value = 0;
  std::memcpy(&value, version.data(), sizeof(value));
  EXPECT_EQ(value, 0x03000004u);  // major 3, minor 0, build 4
}

}  // namespace
