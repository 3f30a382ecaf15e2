// Descriptors and configuration on a simulated reader: the configuration read in one or
// two requests, short and empty reads, the interface and pipes selected, the class
// descriptor found in the configuration set or asked of the reader, and the walk that must
// stop on a zero length and stay inside wTotalLength. Configuration sets are crafted by
// replacing the reader's answer on the default pipe.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <cstring>
#include <string>

#include "CcidFrame.h"
#include "CcidUsb.h"
#include "driver_bench.h"
#include "reader/ccid_wire.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;
using hosted::usb::TransferRecord;

constexpr UCHAR kGetDescriptor = 6;
constexpr USHORT kConfigurationValue = 0x0200;

// Offset of the first descriptor of `type` in a configuration set (0 when there is none).
std::size_t Find(const Bytes& set, UCHAR type) {
  for (std::size_t at = 0; at + 1 < set.size() && set[at] != 0; at += set[at]) {
    if (set[at + 1] == type) return at;
  }
  return 0;
}

void SetTotalLength(Bytes& set) { sim::ccid::PutLe16(set, 2, static_cast<std::uint16_t>(set.size())); }

// An endpoint descriptor.
Bytes Endpoint(UCHAR address, UCHAR attributes, USHORT maxPacket) {
  return {7, 5, address, attributes, static_cast<UCHAR>(maxPacket), static_cast<UCHAR>(maxPacket >> 8), 0x10};
}

class UsbConfigureTest : public ::testing::Test {
 protected:
  // A reader added (not started), its transfer log cleared.
  void Add(const std::string& profile = "tpdu-basic") {
    bench_ = std::make_unique<ReaderBench>(profile);
    ASSERT_EQ(bench_->Node().AddDevice(), STATUS_SUCCESS);
    bench_->Bus().ClearTransfers();
  }
  // Every later configuration read (the driver's and the stack's) answers `set`.
  void ReplaceConfiguration(const Bytes& set) {
    sim::ControlFault fault;
    fault.request = kGetDescriptor;
    fault.value = kConfigurationValue;
    fault.action = sim::ControlFault::Action::Replace;
    fault.data = set;
    fault.times = 0;
    bench_->Reader().AddControlFault(fault);
  }
  void TruncateClassDescriptor(std::size_t length) {
    sim::ControlFault fault;
    fault.request = kGetDescriptor;
    fault.value = CCID_CLASS_DESCRIPTOR_VALUE;
    fault.action = sim::ControlFault::Action::Truncate;
    fault.length = length;
    fault.times = 0;
    bench_->Reader().AddControlFault(fault);
  }
  // The wLength of each configuration read the driver made.
  std::vector<USHORT> ConfigurationReads() {
    std::vector<USHORT> reads;
    for (const TransferRecord& record : bench_->Bus().Transfers()) {
      if (record.urbFunction == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && (record.setup.wValue >> 8) == 2) {
        reads.push_back(record.setup.wLength);
      }
    }
    return reads;
  }
  // Class GET_DESCRIPTOR requests the driver sent, by wIndex.
  std::vector<USHORT> ClassDescriptorRequests() {
    std::vector<USHORT> requests;
    for (const TransferRecord& record : bench_->Bus().Transfers()) {
      if (record.urbFunction == URB_FUNCTION_CLASS_INTERFACE && record.setup.bRequest == kGetDescriptor) {
        requests.push_back(record.setup.wIndex);
      }
    }
    return requests;
  }
  // Puts a crafted configuration set where a configuration read would have left it.
  void InstallConfiguration(const Bytes& set) {
    PDEVICE_EXTENSION extension = bench_->Extension();
    if (extension->ConfigurationDescriptor != nullptr) {
      ExFreePoolWithTag(extension->ConfigurationDescriptor, CCID_POOL_TAG);
    }
    auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, set.size(), CCID_POOL_TAG));
    std::memcpy(block, set.data(), set.size());
    extension->ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block);
  }
  // A configured reader whose configuration set the driver no longer holds, so that the
  // class descriptor is asked of the reader.
  void ConfigureAndForget() {
    ASSERT_EQ(UsbConfigureDevice(bench_->Fdo()), STATUS_SUCCESS);
    PDEVICE_EXTENSION extension = bench_->Extension();
    ExFreePoolWithTag(extension->ConfigurationDescriptor, CCID_POOL_TAG);
    extension->ConfigurationDescriptor = nullptr;
    bench_->Bus().ClearTransfers();
  }
  Bytes RealConfiguration() { return bench_->Bus().ConfigurationDescriptor(); }
  Bytes RealClassDescriptor() {
    const auto& d = bench_->Reader().Profile().class_descriptor;
    return Bytes(d.begin(), d.end());
  }

  std::unique_ptr<ReaderBench> bench_;
};

// A set of up to 521 bytes takes one read; a longer one exactly one more, of wTotalLength.
TEST_F(UsbConfigureTest, ConfigurationLongerThan521BytesCostsExactlyOneMoreRead) {
  const struct {
    const char* profile;
    std::vector<USHORT> reads;
  } rows[] = {{"tpdu-basic", {521}}, {"config-521", {521}}, {"config-522", {521, 522}}, {"long-config", {521, 600}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.profile);
    Add(row.profile);
    EXPECT_EQ(UsbConfigureDevice(bench_->Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(ConfigurationReads(), row.reads);
    EXPECT_EQ(bench_->Extension()->ConfigurationDescriptor->wTotalLength, RealConfiguration().size());
    bench_.reset();
  }
}

// Nothing is parsed that did not arrive: reads shorter than the 9-byte header, or shorter
// than the set's own wTotalLength, fail the configuration and leave no configuration.
TEST_F(UsbConfigureTest, ShortConfigurationReadsFailTheConfiguration) {
  const struct {
    const char* name;
    std::size_t keep;  // bytes of the real set the reader sends
  } rows[] = {{"nothing", 0}, {"half a header", 5}, {"header only", 9}, {"all but one byte", 0xFFFF}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Add();
    Bytes set = RealConfiguration();
    set.resize(std::min(row.keep, set.size() - 1));
    ReplaceConfiguration(set);
    EXPECT_EQ(UsbConfigureDevice(bench_->Fdo()), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(bench_->Extension()->ConfigurationDescriptor, nullptr);
    bench_.reset();
  }
}

// A composite reader whose smart-card interface comes second: that one is selected, and
// the class descriptor is found by the walk wherever it lies.
TEST_F(UsbConfigureTest, SmartCardInterfaceAfterAnotherIsSelected) {
  Add("composite-second");
  ASSERT_EQ(UsbConfigureDevice(bench_->Fdo()), STATUS_SUCCESS);
  EXPECT_EQ(bench_->Extension()->InterfaceInformation->InterfaceNumber, 1);
  EXPECT_EQ(bench_->Extension()->InterfaceInformation->NumberOfPipes, 3u);
  CCID_CLASS_DESCRIPTOR descriptor;
  ASSERT_EQ(CcidGetClassDescriptor(bench_->Fdo(), &descriptor), STATUS_SUCCESS);
  EXPECT_EQ(0, std::memcmp(&descriptor, RealClassDescriptor().data(), sizeof(descriptor)));
  EXPECT_TRUE(ClassDescriptorRequests().empty()) << "found in the configuration set";
}

// Pipes are sorted by type and direction; a later one of a kind wins; an interrupt-OUT or
// an isochronous endpoint lands in the bulk-in slot.
TEST_F(UsbConfigureTest, PipesGoToTheirSlotsTheLaterOfAKindWinning) {
  for (const Bytes& last : {Endpoint(0x05, 3, 8), Endpoint(0x86, 1, 64)}) {
    SCOPED_TRACE(last[2] == 0x05 ? "interrupt-OUT last" : "isochronous-IN last");
    Add();
    Bytes set = RealConfiguration();
    const std::size_t interface = Find(set, USB_INTERFACE_DESCRIPTOR_TYPE);
    ASSERT_NE(interface, 0u);
    // The smart-card interface with five endpoints: bulk-in 0x81, bulk-out 0x02, interrupt-in
    // 0x83, then a second bulk-in 0x84 and the endpoint of the row.
    set.resize(Find(set, USB_ENDPOINT_DESCRIPTOR_TYPE));
    set[interface + 4] = 5;
    for (const Bytes& endpoint : {Endpoint(0x81, 2, 64), Endpoint(0x02, 2, 64), Endpoint(0x83, 3, 8),
                                  Endpoint(0x84, 2, 64), last}) {
      set.insert(set.end(), endpoint.begin(), endpoint.end());
    }
    SetTotalLength(set);
    ReplaceConfiguration(set);
    ASSERT_EQ(UsbConfigureDevice(bench_->Fdo()), STATUS_SUCCESS);
    const USBD_PIPE_INFORMATION* pipes = bench_->Extension()->PipeInfo;
    EXPECT_EQ(pipes[PIPE_INTERRUPT_IN].EndpointAddress, 0x83);
    EXPECT_EQ(pipes[PIPE_BULK_OUT].EndpointAddress, 0x02);
    EXPECT_EQ(pipes[PIPE_BULK_IN].EndpointAddress, last[2]) << "the last pipe, of neither kind, came last";
    EXPECT_EQ(bench_->Extension()->InterfaceInformation->NumberOfPipes, 5u);
    bench_.reset();
  }
}

// A configuration without a bulk-out endpoint leaves that slot empty: the start goes on
// (the identification cannot be sent), and every exchange fails cleanly without sending.
TEST_F(UsbConfigureTest, EmptyPipeSlotMakesTransfersFailCleanly) {
  bench_ = std::make_unique<ReaderBench>("tpdu-basic");
  Bytes set = RealConfiguration();
  const std::size_t interface = Find(set, USB_INTERFACE_DESCRIPTOR_TYPE);
  set.resize(Find(set, USB_ENDPOINT_DESCRIPTOR_TYPE));
  set[interface + 4] = 3;
  for (const Bytes& endpoint : {Endpoint(0x81, 2, 64), Endpoint(0x84, 2, 64), Endpoint(0x83, 3, 8)}) {
    set.insert(set.end(), endpoint.begin(), endpoint.end());
  }
  SetTotalLength(set);
  ReplaceConfiguration(set);
  ASSERT_EQ(bench_->Plug(), STATUS_SUCCESS);
  EXPECT_EQ(bench_->Extension()->PipeInfo[PIPE_BULK_OUT].PipeHandle, nullptr);
  EXPECT_TRUE(bench_->Reader().EscapesReceived().empty());

  bench_->Bus().ClearTransfers();
  EXPECT_EQ(CcidSendDriverIdentification(bench_->Fdo()), STATUS_INVALID_DEVICE_STATE);
  for (const TransferRecord& record : bench_->Bus().Transfers()) {
    EXPECT_NE(record.type, hosted::usb::TransferType::Bulk) << "nothing goes out on a missing pipe";
    EXPECT_NE(record.usbdStatus, USBD_STATUS_INVALID_PIPE_HANDLE) << "no pipe request without a pipe handle";
  }
}

TEST_F(UsbConfigureTest, ConfigurationWithoutASmartCardInterfaceIsRefused) {
  Add();
  Bytes set = RealConfiguration();
  set[Find(set, USB_INTERFACE_DESCRIPTOR_TYPE) + 5] = 0xFF;  // bInterfaceClass: vendor
  ReplaceConfiguration(set);
  EXPECT_EQ(UsbConfigureDevice(bench_->Fdo()), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(UsbConfigureTest, RemoteWakeupComesFromTheConfigurationAttributes) {
  for (const char* profile : {"tpdu-basic", "wakeup"}) {
    SCOPED_TRACE(profile);
    Add(profile);
    ASSERT_EQ(UsbConfigureDevice(bench_->Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(bench_->Extension()->RemoteWakeupSupported, bench_->Reader().Profile().remote_wakeup);
    bench_.reset();
  }
}

// The walk for the class descriptor: it ends at a descriptor of length 0 (which would never
// advance) and takes a class descriptor only when all its 54 bytes lie inside wTotalLength;
// otherwise it asks the reader, whose request names interface 0.
TEST_F(UsbConfigureTest, ClassDescriptorWalkStopsOnZeroLengthAndStaysInsideTheSet) {
  Add();
  ConfigureAndForget();
  const Bytes real = RealConfiguration();
  const std::size_t classAt = Find(real, CCID_CLASS_DESCRIPTOR_TYPE);
  ASSERT_NE(classAt, 0u);
  const Bytes poison(sizeof(CCID_CLASS_DESCRIPTOR), 0xEE);

  struct Row {
    const char* name;
    Bytes set;
    bool askedDevice;
  };
  Bytes zeroLength = real;  // a descriptor of length 0 just before the class descriptor
  zeroLength.insert(zeroLength.begin() + static_cast<std::ptrdiff_t>(classAt), {0, 0x24});
  SetTotalLength(zeroLength);
  Bytes cut = real;  // wTotalLength ends inside the class descriptor
  sim::ccid::PutLe16(cut, 2, static_cast<std::uint16_t>(classAt + 20));
  Bytes zeroFirst = real;  // the configuration descriptor's own bLength is 0
  zeroFirst[0] = 0;
  Bytes wrongLength = real;  // type 0x21 but 53 bytes long: not a CCID class descriptor
  wrongLength[classAt] = 53;
  const Row rows[] = {
      {"whole set", real, false},
      {"zero length before it", zeroLength, true},
      {"cut by wTotalLength", cut, true},
      {"zero-length configuration header", zeroFirst, true},
      {"length 53", wrongLength, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    InstallConfiguration(row.set);
    bench_->Bus().ClearTransfers();
    Bytes got = poison;
    ASSERT_EQ(CcidGetClassDescriptor(bench_->Fdo(), reinterpret_cast<PCCID_CLASS_DESCRIPTOR>(got.data())),
              STATUS_SUCCESS);
    EXPECT_EQ(got, RealClassDescriptor());
    EXPECT_EQ(ClassDescriptorRequests(), row.askedDevice ? std::vector<USHORT>{0} : std::vector<USHORT>{});
  }
}

// Without a configuration set the reader is asked; an answer shorter than 54 bytes is
// refused and nothing of it reaches the caller.
TEST_F(UsbConfigureTest, ShortClassDescriptorFromTheReaderIsRefused) {
  Add();
  ConfigureAndForget();
  const Bytes poison(sizeof(CCID_CLASS_DESCRIPTOR), 0xEE);
  for (std::size_t length : {53u, 10u, 0u}) {
    SCOPED_TRACE("length " + std::to_string(length));
    bench_->Reader().ClearFaults();
    TruncateClassDescriptor(length);
    Bytes got = poison;
    EXPECT_NE(CcidGetClassDescriptor(bench_->Fdo(), reinterpret_cast<PCCID_CLASS_DESCRIPTOR>(got.data())),
              STATUS_SUCCESS);
    EXPECT_EQ(got, poison) << "the caller's buffer is untouched";
  }
  bench_->Reader().ClearFaults();
  Bytes got = poison;
  EXPECT_EQ(CcidGetClassDescriptor(bench_->Fdo(), reinterpret_cast<PCCID_CLASS_DESCRIPTOR>(got.data())),
            STATUS_SUCCESS);
  EXPECT_EQ(got, RealClassDescriptor());
}

// The class request for the descriptor names the interface the reader was configured
// with: on a composite reader whose smart-card interface is number 1 the request goes to
// interface 1 (a request to interface 0 would reach another function of the device).
TEST_F(UsbConfigureTest, ClassDescriptorRequestNamesTheSmartCardInterface) {
  for (const char* profile : {"tpdu-basic", "composite-second"}) {
    SCOPED_TRACE(profile);
    Add(profile);
    ConfigureAndForget();
    CCID_CLASS_DESCRIPTOR descriptor;
    ASSERT_EQ(CcidGetClassDescriptor(bench_->Fdo(), &descriptor), STATUS_SUCCESS);
    EXPECT_EQ(0, std::memcmp(&descriptor, RealClassDescriptor().data(), sizeof(descriptor)));
    const USHORT interface = bench_->Extension()->InterfaceInformation->InterfaceNumber;
    EXPECT_EQ(ClassDescriptorRequests(), std::vector<USHORT>{interface});
    bench_.reset();
  }
}

// dwProtocols at start: bit 0 makes T=0 alone, bit 1 adds T=1; without bit 0 the earlier
// value stays whatever bit 1 says.
TEST_F(UsbConfigureTest, ProtocolsFromTheClassDescriptorAtStart) {
  const struct {
    ULONG protocols;
    ULONG supported;
  } rows[] = {{3, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1}, {1, SCARD_PROTOCOL_T0},
              {2, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1}, {0, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1}};
  for (const auto& row : rows) {
    SCOPED_TRACE("dwProtocols " + std::to_string(row.protocols));
    bench_ = std::make_unique<ReaderBench>("tpdu-basic");
    Bytes set = RealConfiguration();
    sim::ccid::PutLe32(set, Find(set, CCID_CLASS_DESCRIPTOR_TYPE) + 6, row.protocols);
    ReplaceConfiguration(set);
    ASSERT_EQ(bench_->Plug(), STATUS_SUCCESS);
    EXPECT_EQ(bench_->Smartcard()->ReaderCapabilities.SupportedProtocols, row.supported);
    bench_.reset();
  }
}

// A start whose class descriptor cannot be read keeps the add-device defaults.
TEST_F(UsbConfigureTest, StartWithoutAClassDescriptorKeepsTheDefaults) {
  bench_ = std::make_unique<ReaderBench>("tpdu-basic");
  Bytes set = RealConfiguration();
  set[Find(set, CCID_CLASS_DESCRIPTOR_TYPE) + 1] = 0x22;  // no class descriptor in the set
  ReplaceConfiguration(set);
  TruncateClassDescriptor(20);
  ASSERT_EQ(bench_->Plug(), STATUS_SUCCESS);
  const SCARD_READER_CAPABILITIES& caps = bench_->Smartcard()->ReaderCapabilities;
  EXPECT_EQ(caps.CLKFrequency.Default, 4000u);
  EXPECT_EQ(caps.DataRate.Default, 10750u);
  EXPECT_EQ(caps.MaxIFSD, 253u);
  EXPECT_EQ(bench_->Extension()->CcidFeatures, 0u);
  EXPECT_TRUE(bench_->Extension()->Started);
}

}  // namespace
