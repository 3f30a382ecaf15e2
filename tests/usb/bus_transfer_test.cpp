// The stack's transfer rules on a bare device: where and at what IRQL requests complete,
// how IN transfers end, how OUT transfers are cut, cancel, abort, pipe and port resets,
// bad pipe handles and unplugging.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "fake_device.h"
#include "hosted/kernel/hosted.h"
#include "hosted/usb/usb_bus.h"
#include "kernel_test_support.h"
#include "urb_host.h"

namespace usb_test {
namespace {

using hosted::usb::BusDevice;
using hosted::usb::BusDeviceOptions;
using hosted::usb::CompletionMode;
using hosted::usb::Handshake;

struct FakeBench {
  explicit FakeBench(CompletionMode mode = CompletionMode::Asynchronous)
      : bus(device, BusDeviceOptions{.mode = mode}), host(bus.Pdo()) {
    EXPECT_TRUE(host.Configure(0xFF));
  }
  FakeDevice device;
  BusDevice bus;
  UrbHost host;
};

Bytes Filled(std::size_t n, std::uint8_t first = 0) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
  return b;
}

TEST(UsbTransfer, AsynchronousCompletionRunsOnTheUsbThreadAtDispatchLevel) {
  FakeBench b;
  b.device.Push(FakeDevice::kBulkIn, Filled(5));
  for (auto* run : {+[](FakeBench& f) { return f.host.Read(64); },
                    +[](FakeBench& f) { return f.host.Write(Bytes(3, 1)); },
                    +[](FakeBench& f) { return f.host.Run(DescriptorRequest(f.host.Pdo(), 1, 0, 18)); }}) {
    const UrbResult r = run(b);
    EXPECT_EQ(r.dispatch, STATUS_PENDING) << "never completed inside IoCallDriver";
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(r.irql, DISPATCH_LEVEL);
    EXPECT_EQ(r.thread, b.bus.UsbThreadId());
    EXPECT_NE(r.thread, std::this_thread::get_id());
  }
}

TEST(UsbTransfer, SynchronousModeCompletesInsideTheCallUnlessTheDeviceNaks) {
  FakeBench b(CompletionMode::Synchronous);
  b.device.Push(FakeDevice::kBulkIn, Filled(5));
  UrbResult r = b.host.Read(64);
  EXPECT_EQ(r.dispatch, STATUS_SUCCESS);
  EXPECT_EQ(r.thread, std::this_thread::get_id());
  EXPECT_EQ(r.irql, PASSIVE_LEVEL);
  EXPECT_EQ(r.data, Filled(5));
  // Nothing to read: the request pends and the USB thread completes it when data comes.
  auto pending = TransferRequest(b.host.Pdo(), b.host.bulkIn, true, Bytes(64));
  EXPECT_EQ(pending->Send(), STATUS_PENDING);
  ASSERT_TRUE(b.bus.WaitForPendingTransfers(1));
  EXPECT_FALSE(pending->Completed());
  b.device.Push(FakeDevice::kBulkIn, Filled(7));
  r = pending->Wait();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.data, Filled(7));
  EXPECT_EQ(r.thread, b.bus.UsbThreadId());
}

TEST(UsbTransfer, NakLeavesTheReadPendingUntilTheDeviceHasData) {
  FakeBench b;
  auto read = b.host.StartRead(128);
  ASSERT_TRUE(b.bus.WaitForPendingTransfers(1));
  EXPECT_FALSE(read->Completed());
  EXPECT_EQ(b.bus.PendingTransfers(), 1u);
  b.device.Push(FakeDevice::kBulkIn, Filled(64));
  b.device.Push(FakeDevice::kBulkIn, Filled(3, 64));
  const UrbResult r = read->Wait();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.data, Filled(67)) << "a full packet does not end the transfer; the short one does";
}

struct InRow {
  const char* name;
  ULONG buffer;
  std::vector<std::pair<Handshake, std::size_t>> packets;  // scripted IN packets (sizes)
  NTSTATUS status;
  USBD_STATUS usbd;
  ULONG length;
  std::size_t left;     // packets still queued in the device afterwards
  bool shortOk = true;  // USBD_SHORT_TRANSFER_OK
};

class UsbInTransfer : public testing::TestWithParam<InRow> {};

// Every row also checks the halt rule: a failed transfer halts the pipe, so the next one
// fails with USBD_STATUS_ENDPOINT_HALTED without asking the device, until a pipe reset.
TEST_P(UsbInTransfer, EndsWhenFullOrOnAShortPacketAndAFailureHaltsThePipe) {
  const InRow& row = GetParam();
  FakeBench b;
  std::uint8_t next = 0;
  Bytes expected;
  for (auto [h, size] : row.packets) {
    Bytes p = Filled(size, next);
    next = static_cast<std::uint8_t>(next + size);
    if (h == Handshake::Ack) expected.insert(expected.end(), p.begin(), p.end());
    b.device.Push(FakeDevice::kBulkIn, p, h);
  }
  const UrbResult r =
      b.host.Run(TransferRequest(b.host.Pdo(), b.host.bulkIn, true, Bytes(row.buffer, 0xEE), row.shortOk));
  EXPECT_EQ(r.status, row.status);
  EXPECT_EQ(r.usbd, row.usbd);
  EXPECT_EQ(r.length, row.length);
  expected.resize(row.length);
  EXPECT_EQ(r.data, expected);
  EXPECT_TRUE(r.guardIntact) << "nothing written past the buffer";
  EXPECT_EQ(b.device.QueuedIn(FakeDevice::kBulkIn), row.left);

  b.device.Push(FakeDevice::kBulkIn, Filled(3));
  const std::size_t queued = b.device.QueuedIn(FakeDevice::kBulkIn);
  const UrbResult after = b.host.Read(64);
  if (row.status == STATUS_SUCCESS) {
    EXPECT_EQ(after.usbd, USBD_STATUS_SUCCESS) << "a transfer that succeeded halts nothing";
    return;
  }
  EXPECT_EQ(after.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(after.usbd, USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_EQ(after.length, 0u);
  EXPECT_EQ(b.device.QueuedIn(FakeDevice::kBulkIn), queued) << "a halted pipe does not ask the device";
  EXPECT_EQ(b.host.ResetPipe(b.host.bulkIn).status, STATUS_SUCCESS);
  for (std::size_t i = 0; i < row.left; ++i) b.host.Read(64);  // what the failed transfer left
  EXPECT_EQ(b.host.Read(64).data, Filled(3)) << "the reset pipe works again";
}

const auto kAck = Handshake::Ack;
INSTANTIATE_TEST_SUITE_P(
    Rows, UsbInTransfer,
    testing::Values(InRow{"filled_by_one_packet", 64, {{kAck, 64}, {kAck, 0}}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 64, 1},
                    InRow{"short_packet", 128, {{kAck, 64}, {kAck, 10}}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 74, 0},
                    InRow{"zero_length_packet", 128, {{kAck, 64}, {kAck, 0}}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 64, 0},
                    InRow{"zlp_alone", 64, {{kAck, 0}}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, 0},
                    InRow{"filled_mid_packet_size", 100, {{kAck, 64}, {kAck, 36}, {kAck, 5}}, STATUS_SUCCESS,
                          USBD_STATUS_SUCCESS, 100, 1},
                    InRow{"packet_longer_than_room", 10, {{kAck, 64}}, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN, 10, 0},
                    InRow{"overrun_after_data", 70, {{kAck, 64}, {kAck, 64}}, STATUS_UNSUCCESSFUL,
                          USBD_STATUS_DATA_OVERRUN, 70, 0},
                    InRow{"stall", 128, {{kAck, 64}, {Handshake::Stall, 0}}, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID,
                          64, 0},
                    InRow{"crc_error", 128, {{kAck, 64}, {Handshake::CrcError, 0}}, STATUS_UNSUCCESSFUL,
                          USBD_STATUS_CRC, 64, 0},
                    InRow{"no_response", 128, {{Handshake::Timeout, 0}}, STATUS_UNSUCCESSFUL,
                          USBD_STATUS_DEV_NOT_RESPONDING, 0, 0},
                    InRow{"short_packet_not_allowed", 128, {{kAck, 64}, {kAck, 10}}, STATUS_UNSUCCESSFUL,
                          USBD_STATUS_ERROR_SHORT_TRANSFER, 74, 0, false},
                    InRow{"zlp_not_allowed", 128, {{kAck, 64}, {kAck, 0}}, STATUS_UNSUCCESSFUL,
                          USBD_STATUS_ERROR_SHORT_TRANSFER, 64, 0, false},
                    InRow{"filled_without_short_ok", 100, {{kAck, 64}, {kAck, 36}}, STATUS_SUCCESS,
                          USBD_STATUS_SUCCESS, 100, 0, false},
                    InRow{"small_packet_fills_the_buffer", 10, {{kAck, 10}}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 10,
                          0, false}),
    [](const auto& info) { return info.param.name; });

TEST(UsbTransfer, OutIsCutIntoMaxPacketSizePacketsWithoutATrailingZlp) {
  for (std::size_t length : {0u, 10u, 63u, 64u, 128u, 150u}) {
    SCOPED_TRACE(length);
    FakeBench b;
    const UrbResult r = b.host.Write(Filled(length));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.length, length);
    std::vector<std::size_t> sizes;
    Bytes joined;
    for (const auto& p : b.device.OutPackets()) {
      sizes.push_back(p.size());
      joined.insert(joined.end(), p.begin(), p.end());
    }
    std::vector<std::size_t> expected;
    for (std::size_t at = 0; at < length; at += 64) expected.push_back(std::min<std::size_t>(64, length - at));
    if (length == 0) expected = {0};
    EXPECT_EQ(sizes, expected);
    EXPECT_EQ(joined, Filled(length));
  }
}

TEST(UsbTransfer, OutStallReportsWhatWasAcceptedAndHaltsThePipe) {
  FakeBench b;
  b.device.StallOut(true);
  const UrbResult r = b.host.Write(Filled(100));
  EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r.usbd, USBD_STATUS_STALL_PID);
  EXPECT_EQ(r.length, 0u);
  b.device.StallOut(false);
  EXPECT_EQ(b.host.Write(Filled(4)).usbd, USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_TRUE(b.device.OutPackets().empty()) << "nothing went out on the halted pipe";
  EXPECT_EQ(b.host.ResetPipe(b.host.bulkOut).status, STATUS_SUCCESS);
  EXPECT_EQ(b.host.Write(Filled(4)).status, STATUS_SUCCESS);
}

// A failure halts the pipe for the transfers queued behind the failed one too, and only a
// reset of the pipe (or of the port) clears the halt: SYNC_CLEAR_STALL clears the device's
// stall alone. Other pipes go on.
TEST(UsbTransfer, AHaltedPipeFailsQueuedTransfersUntilAPipeOrPortReset) {
  struct Row {
    const char* name;
    std::function<UrbResult(FakeBench&)> clear;
    bool clears;
  };
  const Row rows[] = {
      {"reset_pipe_and_clear_stall", [](FakeBench& f) { return f.host.ResetPipe(f.host.bulkIn); }, true},
      {"reset_pipe",
       [](FakeBench& f) { return f.host.Run(PipeRequest(f.host.Pdo(), URB_FUNCTION_SYNC_RESET_PIPE, f.host.bulkIn)); },
       true},
      {"clear_stall",
       [](FakeBench& f) { return f.host.Run(PipeRequest(f.host.Pdo(), URB_FUNCTION_SYNC_CLEAR_STALL, f.host.bulkIn)); },
       false},
      {"reset_port", [](FakeBench& f) { return f.host.ResetPort(); }, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeBench b;
    auto failing = b.host.StartRead(64);
    auto queued = b.host.StartRead(64);
    ASSERT_TRUE(b.bus.WaitForPendingTransfers(2));
    b.device.Push(FakeDevice::kBulkIn, {}, Handshake::Stall);
    EXPECT_EQ(failing->Wait().usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(queued->Wait().usbd, USBD_STATUS_ENDPOINT_HALTED);
    b.device.Push(FakeDevice::kInterruptIn, {0x50, 0x02});
    EXPECT_EQ(b.host.ReadInterrupt().status, STATUS_SUCCESS) << "another pipe goes on";

    EXPECT_EQ(row.clear(b).status, STATUS_SUCCESS);
    b.device.Push(FakeDevice::kBulkIn, Filled(5));
    const UrbResult r = b.host.Read(64);
    EXPECT_EQ(r.usbd, row.clears ? USBD_STATUS_SUCCESS : USBD_STATUS_ENDPOINT_HALTED);
  }
}

TEST(UsbTransfer, IoCancelIrpCompletesAPendingReadCancelled) {
  for (CompletionMode mode : {CompletionMode::Asynchronous, CompletionMode::Synchronous}) {
    SCOPED_TRACE(mode == CompletionMode::Asynchronous ? "asynchronous" : "synchronous");
    FakeBench b(mode);
    auto read = b.host.StartRead(64);
    ASSERT_TRUE(b.bus.WaitForPendingTransfers(1));
    EXPECT_TRUE(read->Cancel());
    const UrbResult r = read->Wait();
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    EXPECT_EQ(r.usbd, USBD_STATUS_CANCELED);
    EXPECT_EQ(b.bus.PendingTransfers(), 0u);
    // The pipe goes on working.
    b.device.Push(FakeDevice::kBulkIn, Filled(4));
    EXPECT_EQ(b.host.Read(64).data, Filled(4));
  }
}

TEST(UsbTransfer, AbortCompletesEveryPendingTransferOfThePipeBeforeItself) {
  FakeBench b;
  auto first = b.host.StartRead(64);
  auto second = b.host.StartRead(64);
  auto interrupt = b.host.StartInterrupt();
  ASSERT_TRUE(b.bus.WaitForPendingTransfers(3));
  const UrbResult abort = b.host.Abort(b.host.bulkIn);
  EXPECT_EQ(abort.status, STATUS_SUCCESS);
  EXPECT_EQ(abort.usbd, USBD_STATUS_SUCCESS);
  EXPECT_EQ(abort.thread, b.bus.UsbThreadId());
  for (Submission* s : {first.get(), second.get()}) {
    ASSERT_TRUE(s->Completed()) << "completed before the abort";
    const UrbResult r = s->Wait();
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    EXPECT_EQ(r.usbd, USBD_STATUS_CANCELED);
    EXPECT_LT(r.order, abort.order);
  }
  EXPECT_FALSE(interrupt->Completed()) << "another pipe is left alone";
  EXPECT_EQ(b.host.Abort(b.host.interruptIn).status, STATUS_SUCCESS);
  EXPECT_EQ(interrupt->Wait().status, STATUS_CANCELLED);
  EXPECT_EQ(b.host.Abort(b.host.bulkOut).status, STATUS_SUCCESS) << "nothing pending";
  b.device.Push(FakeDevice::kBulkIn, Filled(4));
  EXPECT_EQ(b.host.Read(64).data, Filled(4)) << "an abort halts nothing";
}

TEST(UsbTransfer, PipeResetIsRefusedWhileTransfersPendAndClearsTheHaltAfter) {
  FakeBench b;
  auto read = b.host.StartRead(64);
  ASSERT_TRUE(b.bus.WaitForPendingTransfers(1));
  UrbResult r = b.host.ResetPipe(b.host.bulkIn);
  EXPECT_EQ(r.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(r.usbd, USBD_STATUS_ERROR_BUSY);
  EXPECT_EQ(b.host.Abort(b.host.bulkIn).status, STATUS_SUCCESS);
  read->Wait();
  r = b.host.ResetPipe(b.host.bulkIn);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(b.device.HaltsCleared(), std::vector<std::uint8_t>{FakeDevice::kBulkIn});
  b.host.Run(PipeRequest(b.host.Pdo(), URB_FUNCTION_SYNC_RESET_PIPE, b.host.bulkOut));
  EXPECT_EQ(b.device.HaltsCleared().size(), 1u) << "SYNC_RESET_PIPE leaves the device's halt alone";
}

TEST(UsbTransfer, APipeHandleThatNamesNoPipeFailsCleanly) {
  FakeBench b;
  const USBD_PIPE_HANDLE current = b.host.bulkIn;
  ASSERT_TRUE(b.host.Configure(0xFF));  // a new configuration: the old handles are stale
  const std::vector<std::pair<const char*, USBD_PIPE_HANDLE>> handles = {
      {"null", nullptr}, {"garbage", reinterpret_cast<USBD_PIPE_HANDLE>(0x1234)}, {"stale", current}};
  for (const auto& [name, handle] : handles) {
    SCOPED_TRACE(name);
    for (USHORT function : {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, URB_FUNCTION_ABORT_PIPE,
                            URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL}) {
      auto s = function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ? TransferRequest(b.host.Pdo(), handle, true, Bytes(8))
                                                                   : PipeRequest(b.host.Pdo(), function, handle);
      const UrbResult r = b.host.Run(*s);
      EXPECT_EQ(r.dispatch, STATUS_INVALID_PARAMETER) << "refused at once, function " << function;
      EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
      EXPECT_EQ(r.usbd, USBD_STATUS_INVALID_PIPE_HANDLE);
      EXPECT_EQ(r.thread, std::this_thread::get_id());
      EXPECT_EQ(r.length, 0u) << "a refused transfer moved nothing";
    }
  }
}

struct BadUrbRow {
  const char* name;
  std::function<void(PURB)> shape;
  USBD_STATUS usbd;
};

TEST(UsbTransfer, UrbsTheStackDoesNotServeAreRefusedWithAnInvalidParameterStatus) {
  FakeBench b;
  const USBD_PIPE_HANDLE in = b.host.bulkIn;
  const std::vector<BadUrbRow> rows = {
      {"isochronous", [](PURB u) { u->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER; }, USBD_STATUS_INVALID_PARAMETER},
      {"frame_length_control", [](PURB u) { u->UrbHeader.Function = URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL; },
       USBD_STATUS_INVALID_PARAMETER},
      {"unknown_function", [](PURB u) { u->UrbHeader.Function = 0x0099; }, USBD_STATUS_INVALID_URB_FUNCTION},
      {"header_only_length", [](PURB u) { u->UrbHeader.Length = sizeof(struct _URB_HEADER); },
       USBD_STATUS_INVALID_PARAMETER},
      {"no_buffer", [](PURB u) { u->UrbBulkOrInterruptTransfer.TransferBuffer = nullptr; },
       USBD_STATUS_INVALID_PARAMETER},
      {"descriptor_longer_than_a_control_transfer",
       [](PURB u) {
         UsbBuildGetDescriptorRequest(u, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 1, 0, 0, u, nullptr, 0x10000,
                                      nullptr);
       },
       USBD_STATUS_INVALID_PARAMETER},
  };
  for (const BadUrbRow& row : rows) {
    SCOPED_TRACE(row.name);
    auto s = TransferRequest(b.host.Pdo(), in, true, Bytes(16));
    row.shape(s->Urb());
    const UrbResult r = b.host.Run(*s);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.usbd, row.usbd);
  }
  Submission none(b.host.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, 0);
  none.nullArgument = true;
  none.Send();  // no URB at all in Argument1 is refused too
  EXPECT_EQ(none.Wait().status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(b.bus.PendingTransfers(), 0u);
}

TEST(UsbTransfer, UnplugFailsPendingAndNewRequestsWithDeviceGone) {
  FakeBench b;
  int handlerCalls = 0;
  b.bus.SetUnplugHandler([&] { ++handlerCalls; });
  b.device.Push(FakeDevice::kBulkIn, Filled(64));
  auto read = b.host.StartRead(128);  // one full packet, then the device is gone
  ASSERT_TRUE(b.bus.WaitForPendingTransfers(1));
  b.device.Unplug();
  UrbResult r = read->Wait();
  EXPECT_EQ(r.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(r.usbd, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(r.length, 64u) << "what arrived before the unplug";
  EXPECT_TRUE(b.bus.WaitIdle());
  EXPECT_EQ(handlerCalls, 1);
  EXPECT_TRUE(b.bus.Unplugged());
  for (auto* make : {+[](UrbHost& h) { return TransferRequest(h.Pdo(), h.bulkOut, false, Bytes(4)); },
                     +[](UrbHost& h) { return DescriptorRequest(h.Pdo(), 1, 0, 18); },
                     +[](UrbHost& h) { return PipeRequest(h.Pdo(), URB_FUNCTION_ABORT_PIPE, h.bulkIn); }}) {
    r = b.host.Run(make(b.host));
    EXPECT_EQ(r.dispatch, STATUS_DEVICE_NOT_CONNECTED) << "refused at once";
    EXPECT_EQ(r.usbd, USBD_STATUS_DEVICE_GONE);
  }
  EXPECT_EQ(b.host.ResetPort().status, STATUS_DEVICE_NOT_CONNECTED);
  Submission status(b.host.Pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, 0);
  *reinterpret_cast<PULONG>(status.Urb()) = 0xFFFF;
  status.Send();
  EXPECT_EQ(status.Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(*reinterpret_cast<PULONG>(status.Urb()), 0u) << "neither connected nor enabled";
}

TEST(UsbTransfer, PortResetCancelsTransfersResetsTheDeviceAndKeepsTheConfiguration) {
  FakeBench b;
  auto read = b.host.StartRead(64);
  ASSERT_TRUE(b.bus.WaitForPendingTransfers(1));
  const std::size_t setupsBefore = b.device.Setups().size();
  // A client must cancel its transfers and wait for them first: reported, then ended.
  hosted::test::ExpectViolation pending(hosted::Check::ResetPortWithIoPending, "1 transfer(s) still pending");
  const UrbResult reset = b.host.ResetPort();
  EXPECT_EQ(reset.status, STATUS_SUCCESS);
  ASSERT_TRUE(read->Completed());
  const UrbResult cancelled = read->Wait();
  EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
  EXPECT_LT(cancelled.order, reset.order);
  EXPECT_EQ(b.device.BusResets(), 2) << "arrival, then this reset";
  const auto setups = b.device.Setups();
  ASSERT_EQ(setups.size(), setupsBefore + 1);
  EXPECT_EQ(setups.back().bRequest, 9) << "SET_CONFIGURATION again";
  EXPECT_EQ(setups.back().wValue, 1);
  b.device.Push(FakeDevice::kBulkIn, Filled(2));
  EXPECT_EQ(b.host.Read(64).status, STATUS_SUCCESS) << "the pipe handles stay valid";
}

// Each family of control URBs becomes the setup packet the USB standard gives it.
struct ControlRow {
  const char* name;
  std::function<std::unique_ptr<Submission>(PDEVICE_OBJECT)> make;
  hosted::usb::SetupPacket setup;
  NTSTATUS status;
  ULONG length;
};

std::unique_ptr<Submission> Shaped(PDEVICE_OBJECT pdo, USHORT function, std::size_t size, Bytes buffer,
                                   const std::function<void(PURB, PUCHAR)>& fill) {
  auto s = std::make_unique<Submission>(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, size, std::move(buffer));
  s->Urb()->UrbHeader.Function = function;
  fill(s->Urb(), s->Buffer());
  return s;
}

TEST(UsbControl, EachUrbFamilyBecomesItsSetupPacket) {
  const std::vector<ControlRow> rows = {
      {"descriptor_from_interface",
       [](PDEVICE_OBJECT p) {
         return Shaped(p, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                       Bytes(9), [](PURB u, PUCHAR b) {
                         UsbBuildGetDescriptorRequest(u, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 0x22, 0, 1, b,
                                                      nullptr, 9, nullptr);
                         u->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE;
                       });
       },
       {0x81, 6, 0x2200, 1, 9}, STATUS_UNSUCCESSFUL, 0},
      {"vendor_device_in",
       [](PDEVICE_OBJECT p) {
         return ClassOrVendorRequest(p, URB_FUNCTION_VENDOR_DEVICE, true, 0x42, 0xBEEF, 0, Bytes(2));
       },
       {0xC0, 0x42, 0xBEEF, 0, 2}, STATUS_SUCCESS, 2},
      {"class_endpoint_out",
       [](PDEVICE_OBJECT p) {
         return ClassOrVendorRequest(p, URB_FUNCTION_CLASS_ENDPOINT, false, 0x01, 0x0005, 0x81, Bytes{});
       },
       {0x22, 0x01, 0x0005, 0x81, 0}, STATUS_UNSUCCESSFUL, 0},
      {"raw_control_transfer",
       [](PDEVICE_OBJECT p) {
         return Shaped(p, URB_FUNCTION_CONTROL_TRANSFER, sizeof(struct _URB_CONTROL_TRANSFER), Bytes(2),
                       [](PURB u, PUCHAR b) {
                         auto& c = u->UrbControlTransfer;
                         c.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_DEFAULT_PIPE_TRANSFER;
                         c.TransferBuffer = b;
                         c.TransferBufferLength = 2;
                         const UCHAR setup[8] = {0xC0, 0x42, 0x34, 0x12, 0, 0, 2, 0};
                         std::memcpy(c.SetupPacket, setup, 8);
                       });
       },
       {0xC0, 0x42, 0x1234, 0, 2}, STATUS_SUCCESS, 2},
      {"status_from_endpoint",
       [](PDEVICE_OBJECT p) {
         return Shaped(p, 0, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST), Bytes(2), [](PURB u, PUCHAR b) {
           UsbBuildGetStatusRequest(u, URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x83, b, nullptr, nullptr);
         });
       },
       {0x82, 0, 0, 0x83, 2}, STATUS_UNSUCCESSFUL, 0},
      {"clear_endpoint_halt",
       [](PDEVICE_OBJECT p) {
         return Shaped(p, 0, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), Bytes{}, [](PURB u, PUCHAR) {
           UsbBuildFeatureRequest(u, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, 0, 0x81, nullptr);
         });
       },
       {0x02, 1, 0, 0x81, 0}, STATUS_SUCCESS, 0},
      {"set_device_remote_wakeup",
       [](PDEVICE_OBJECT p) {
         return Shaped(p, 0, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), Bytes{}, [](PURB u, PUCHAR) {
           UsbBuildFeatureRequest(u, URB_FUNCTION_SET_FEATURE_TO_DEVICE, 1, 0, nullptr);
         });
       },
       {0x00, 3, 1, 0, 0}, STATUS_SUCCESS, 0},
      {"get_configuration",
       [](PDEVICE_OBJECT p) {
         return Shaped(p, URB_FUNCTION_GET_CONFIGURATION, sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST),
                       Bytes(1), [](PURB u, PUCHAR b) {
                         u->UrbControlGetConfigurationRequest.TransferBuffer = b;
                         u->UrbControlGetConfigurationRequest.TransferBufferLength = 1;
                       });
       },
       {0x80, 8, 0, 0, 1}, STATUS_UNSUCCESSFUL, 0},
  };
  FakeBench b;
  for (const ControlRow& row : rows) {
    SCOPED_TRACE(row.name);
    const UrbResult r = b.host.Run(row.make(b.host.Pdo()));
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.usbd, row.status == STATUS_SUCCESS ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID);
    EXPECT_EQ(r.length, row.length);
    const hosted::usb::SetupPacket s = b.device.Setups().back();
    EXPECT_EQ(s.bmRequestType, row.setup.bmRequestType);
    EXPECT_EQ(s.bRequest, row.setup.bRequest);
    EXPECT_EQ(s.wValue, row.setup.wValue);
    EXPECT_EQ(s.wIndex, row.setup.wIndex);
    EXPECT_EQ(s.wLength, row.setup.wLength);
  }
}

TEST(UsbTransfer, TheUrbLogRecordsEveryTransferWithKernelTimes) {
  FakeBench b;
  b.bus.ClearTransfers();
  b.device.Push(FakeDevice::kBulkIn, Filled(5));
  const std::int64_t before = hosted::Clock::Now();
  b.host.Write(Filled(3));
  b.host.Read(64);
  b.host.Abort(b.host.bulkIn);
  const auto log = b.bus.Transfers();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].type, hosted::usb::TransferType::Bulk);
  EXPECT_EQ(log[0].endpoint, FakeDevice::kBulkOut);
  EXPECT_FALSE(log[0].in);
  EXPECT_EQ(log[0].data, Filled(3));
  EXPECT_EQ(log[1].endpoint, FakeDevice::kBulkIn);
  EXPECT_TRUE(log[1].in);
  EXPECT_EQ(log[1].requested, 64u);
  EXPECT_EQ(log[1].data, Filled(5));
  EXPECT_EQ(log[2].urbFunction, URB_FUNCTION_ABORT_PIPE);
  EXPECT_EQ(log[2].type, hosted::usb::TransferType::None);
  for (const auto& t : log) {
    EXPECT_GE(t.submitted, before);
    EXPECT_GE(t.completed, t.submitted);
    EXPECT_EQ(t.status, STATUS_SUCCESS);
  }
  EXPECT_LT(log[0].sequence, log[1].sequence);
}

}  // namespace
}  // namespace usb_test
