// Add-device through the PnP manager on bus PDOs of a fake bus: the state a reader is
// added in, the registry settings (event-ring size, vendor names, further interfaces) with
// values of every type, the device limit and unit numbers, the capabilities query as the
// bus sees it, and every failure path leaving nothing behind.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <hosted/kernel/pnp_manager.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CcidFrame.h"
#include "CcidReader.h"
#include "driver_bench.h"

namespace {

using ccid_test::LoadedDriver;
using hosted::PnpDevice;
using hosted::Registry;

constexpr ULONG kLibraryTag = 'BLCS';  // the smart-card library's blocks

// A bus driver's child: answers every PnP request, records the capabilities query as it
// arrives, and completes internal requests (the port reset of a removal) at once.
class FakePdo {
 public:
  FakePdo() {
    driver_ = hosted::Drivers::Create("fake-bus");
    driver_->MajorFunction[IRP_MJ_PNP] = Dispatch;
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(FakePdo*), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo_),
              STATUS_SUCCESS);
    *static_cast<FakePdo**>(pdo_->DeviceExtension) = this;
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  ~FakePdo() {
    IoDeleteDevice(pdo_);
    hosted::Drivers::Destroy(driver_);
  }
  FakePdo(const FakePdo&) = delete;
  FakePdo& operator=(const FakePdo&) = delete;

  PDEVICE_OBJECT Pdo() const { return pdo_; }

  // The capabilities record and IRP status as the query arrived.
  DEVICE_CAPABILITIES askedCapabilities{};
  NTSTATUS askedStatus = 0;
  int capabilityQueries = 0;
  static constexpr ULONG kAddress = 7;
  // When set, IRP_MN_START_DEVICE pends and completes later, from a thread of the bus,
  // with this status; every request on the USB interface is counted.
  NTSTATUS pendedStartStatus = STATUS_PENDING;
  int usbRequests = 0;

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    FakePdo* self = *static_cast<FakePdo**>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
      ++self->usbRequests;
      status = STATUS_SUCCESS;
    } else if (stack->MinorFunction == IRP_MN_START_DEVICE && self->pendedStartStatus != STATUS_PENDING) {
      IoMarkIrpPending(irp);
      self->starter_ = std::make_unique<hosted::KernelThread>("bus start", [irp, status = self->pendedStartStatus] {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      });
      return STATUS_PENDING;
    } else if (stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
      PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      self->askedCapabilities = *capabilities;
      self->askedStatus = irp->IoStatus.Status;
      ++self->capabilityQueries;
      capabilities->Address = kAddress;
      capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      status = STATUS_SUCCESS;
    } else if (stack->MinorFunction != IRP_MN_FILTER_RESOURCE_REQUIREMENTS) {
      status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::unique_ptr<hosted::KernelThread> starter_;
};

// One reader slot on the fake bus with its PnP node.
struct Slot {
  explicit Slot(PDRIVER_OBJECT driver) : node(pdo.Pdo(), driver) {}
  FakePdo pdo;
  PnpDevice node;

  PDEVICE_EXTENSION Extension() const {
    PDEVICE_OBJECT fdo = node.FunctionDevice();
    return fdo == nullptr ? nullptr : static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
  }
  NTSTATUS Remove() { return node.Send(IRP_MN_REMOVE_DEVICE); }
};

class AddDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(DeviceCount, 0u) << "an earlier test left readers behind";
    driverKey_ = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ccid";
  }

  Slot& NewSlot() {
    slots_.push_back(std::make_unique<Slot>(driver_.Get()));
    return *slots_.back();
  }
  std::string HardwareKey(Slot& slot) { return slot.node.HardwareKeyPath(); }

  // Adds a reader with the given registry preparation; removes it again at the end.
  struct Added {
    NTSTATUS status;
    Slot* slot;
    std::size_t devicesBefore;  // device objects before the add-device
  };
  Added Add(const std::function<void(Slot&)>& prepare = {}) {
    Slot& slot = NewSlot();
    if (prepare) prepare(slot);
    const std::size_t devices = hosted::Devices::Count();
    return {slot.node.AddDevice(), &slot, devices};
  }

  void TearDown() override {
    for (auto& slot : slots_) {
      if (slot->node.FunctionDevice() != nullptr) {
        EXPECT_EQ(slot->Remove(), STATUS_SUCCESS);
      }
    }
    slots_.clear();
    EXPECT_EQ(DeviceCount, 0u);
  }

  LoadedDriver driver_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::string driverKey_;
};

TEST_F(AddDeviceTest, LeavesTheReaderAddedButNotStarted) {
  const Added added = Add();
  ASSERT_EQ(added.status, STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = added.slot->node.FunctionDevice();
  PDEVICE_EXTENSION extension = added.slot->Extension();
  ASSERT_NE(extension, nullptr);

  EXPECT_EQ(extension->Self, fdo);
  EXPECT_EQ(extension->PhysicalDeviceObject, added.slot->pdo.Pdo());
  EXPECT_EQ(extension->LowerDeviceObject, added.slot->pdo.Pdo());
  EXPECT_EQ(fdo->DeviceType, ULONG{FILE_DEVICE_SMARTCARD});
  EXPECT_EQ(fdo->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
            ULONG{DO_BUFFERED_IO | DO_POWER_PAGABLE});
  EXPECT_EQ(extension->IoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&extension->RemoveEvent), 0);
  EXPECT_EQ(KeReadStateEvent(&extension->NoPendingIoEvent), 0);
  EXPECT_FALSE(extension->Removed);
  EXPECT_FALSE(extension->Started);
  EXPECT_FALSE(extension->Opened);
  EXPECT_TRUE(extension->WaitWakeIdle);
  EXPECT_EQ(extension->ExchangeTimeout, 300000u);
  EXPECT_EQ(extension->EventFifoEntries, 17);
  EXPECT_EQ(extension->UnitNumber, 0u);

  const SMARTCARD_EXTENSION& smartcard = extension->SmartcardExtension;
  EXPECT_EQ(smartcard.Version, ULONG{SMCLIB_VERSION});
  EXPECT_EQ(smartcard.SmartcardRequest.BufferSize, 288u);
  EXPECT_EQ(smartcard.SmartcardReply.BufferSize, 288u);
  ASSERT_NE(smartcard.OsData, nullptr);
  EXPECT_EQ(smartcard.OsData->DeviceObject, fdo);
  EXPECT_EQ(smartcard.ReaderFunction[RDF_CARD_POWER], &CcidCardPower);
  EXPECT_EQ(smartcard.ReaderFunction[RDF_CARD_TRACKING], &CcidCardTracking);
  EXPECT_EQ(smartcard.ReaderFunction[RDF_CARD_EJECT], nullptr);
  EXPECT_EQ(smartcard.ReaderCapabilities.SupportedProtocols, ULONG{SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1});
  EXPECT_EQ(smartcard.ReaderCapabilities.ReaderType, ULONG{SCARD_READER_TYPE_USB});
  EXPECT_EQ(smartcard.ReaderCapabilities.CurrentState, ULONG{SCARD_UNKNOWN});
  EXPECT_EQ(smartcard.ReaderCapabilities.CLKFrequency.Default, 4000u);
  EXPECT_EQ(smartcard.ReaderCapabilities.CLKFrequency.Max, 4000u);
  EXPECT_EQ(smartcard.ReaderCapabilities.DataRate.Default, 10750u);
  EXPECT_EQ(smartcard.ReaderCapabilities.DataRate.Max, 10750u);
  EXPECT_EQ(smartcard.ReaderCapabilities.MaxIFSD, 253u);
  EXPECT_EQ(smartcard.CardCapabilities.Protocol.Selected, 0u);
  ASSERT_NE(smartcard.ReaderExtension, nullptr);
  EXPECT_EQ(smartcard.ReaderExtension->SequenceNumber, 0);

  // The reader interface is registered, not yet enabled (the start enables it).
  const auto interfaces = hosted::Devices::Interfaces(added.slot->pdo.Pdo());
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_TRUE(IsEqualGUID(interfaces[0].classGuid, GUID_DEVINTERFACE_SMARTCARD_READER));
  EXPECT_FALSE(interfaces[0].enabled);
  EXPECT_EQ(DeviceCount, 1u);
  EXPECT_EQ(NextUnitNumber, 1u);
}

// The capabilities query goes straight to the PDO with the record set up as the platform
// documents it and the IRP's status "not supported"; the record keeps the bus's answer.
TEST_F(AddDeviceTest, CapabilitiesQueryIsFilledInAsThePlatformDocumentsIt) {
  const Added added = Add();
  ASSERT_EQ(added.status, STATUS_SUCCESS);
  const FakePdo& pdo = added.slot->pdo;
  EXPECT_EQ(pdo.capabilityQueries, 1);
  EXPECT_EQ(pdo.askedStatus, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(pdo.askedCapabilities.Size, sizeof(DEVICE_CAPABILITIES));
  EXPECT_EQ(pdo.askedCapabilities.Version, 1);
  EXPECT_EQ(pdo.askedCapabilities.Address, 0xFFFFFFFFu);
  EXPECT_EQ(pdo.askedCapabilities.UINumber, 0xFFFFFFFFu);
  EXPECT_EQ(added.slot->Extension()->DeviceCapabilities.Address, FakePdo::kAddress);
  EXPECT_EQ(added.slot->Extension()->DeviceCapabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
}

// "EventsFifoSize": the ring has one entry more than the value, however large. Values below
// 0, the one whose ring size would wrap, and values that are no REG_DWORD give the default
// of 16.
struct FifoRow {
  const char* name;
  std::function<void(const std::string& key)> set;
  LONG entries;
  NTSTATUS status = STATUS_SUCCESS;
};

TEST_F(AddDeviceTest, EventsFifoSizeTakesSoundValuesAndRefusesOthers) {
  auto dword = [](ULONG value) { return [value](const std::string& key) { Registry::SetDword(key, "EventsFifoSize", value); }; };
  const FifoRow rows[] = {
      {"absent", [](const std::string&) {}, 17},
      {"4", dword(4), 5},
      {"0", dword(0), 1},
      {"4096", dword(4096), 4097},
      {"100000", dword(100000), 100001},
      {"-1", dword(0xFFFFFFFF), 17},
      {"-2147483648", dword(0x80000000), 17},
      {"2147483647", dword(0x7FFFFFFF), 17},
      {"2147483646, more than the pool holds", dword(0x7FFFFFFE), 0, STATUS_INSUFFICIENT_RESOURCES},
      {"a string", [](const std::string& key) { Registry::SetString(key, "EventsFifoSize", std::string_view("8")); }, 17},
      {"eight binary bytes",
       [](const std::string& key) { Registry::SetBinary(key, "EventsFifoSize", {8, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}); },
       17},
  };
  for (const FifoRow& row : rows) {
    SCOPED_TRACE(row.name);
    Registry::DeleteValue(driverKey_, "EventsFifoSize");
    row.set(driverKey_);
    const Added added = Add();
    ASSERT_EQ(added.status, row.status);
    if (row.status != STATUS_SUCCESS) continue;
    EXPECT_EQ(added.slot->Extension()->EventFifoEntries, row.entries);
    EXPECT_EQ(added.slot->Remove(), STATUS_SUCCESS);
  }
}

// A start the lower drivers pend and then fail: the driver waits for their verdict, fails
// the start with it and sends nothing to the reader; the removal that follows is clean.
TEST_F(AddDeviceTest, StartThatTheBusPendsAndFailsFailsWithoutTouchingTheReader) {
  const Added added = Add([](Slot& slot) { slot.pdo.pendedStartStatus = STATUS_DEVICE_NOT_READY; });
  ASSERT_EQ(added.status, STATUS_SUCCESS);
  EXPECT_EQ(added.slot->node.Send(IRP_MN_START_DEVICE), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(added.slot->pdo.usbRequests, 0);
  EXPECT_FALSE(added.slot->Extension()->Started);
  EXPECT_EQ(added.slot->Remove(), STATUS_SUCCESS);
}

// "VendorName" and "IfdType": REG_SZ values become the ANSI vendor attributes, cut to what
// 32 bytes hold with the conversion's terminator; anything else leaves them empty.
struct VendorRow {
  const char* name;
  std::function<void(const std::string& key)> set;
  std::string vendor;
  std::string type;
};

TEST_F(AddDeviceTest, VendorNamesComeFromStringValuesOnly) {
  const std::string longName(40, 'V');
  const VendorRow rows[] = {
      {"absent", [](const std::string&) {}, "", ""},
      {"both",
       [](const std::string& key) {
         Registry::SetString(key, "VendorName", std::string_view("CCID Bench"));
         Registry::SetString(key, "IfdType", std::string_view("Reader 3000"));
       },
       "CCID Bench", "Reader 3000"},
      {"31 characters", [](const std::string& key) { Registry::SetString(key, "VendorName", std::string(31, 'a')); },
       std::string(31, 'a'), ""},
      {"32 characters", [](const std::string& key) { Registry::SetString(key, "VendorName", std::string(32, 'b')); },
       std::string(31, 'b'), ""},
      {"40 characters", [&](const std::string& key) { Registry::SetString(key, "IfdType", longName); }, "",
       std::string(31, 'V')},
      {"a number",
       [](const std::string& key) {
         Registry::SetDword(key, "VendorName", 0x41414141);
         Registry::SetString(key, "IfdType", std::string_view("T"));
       },
       "", "T"},
      {"binary", [](const std::string& key) { Registry::SetBinary(key, "IfdType", std::vector<unsigned char>(80, 'x')); },
       "", ""},
      {"expandable string",
       [](const std::string& key) { Registry::SetString(key, "VendorName", std::string_view("%X%"), REG_EXPAND_SZ); },
       "", ""},
  };
  for (const VendorRow& row : rows) {
    SCOPED_TRACE(row.name);
    const Added added = Add([&](Slot& slot) { row.set(HardwareKey(slot)); });
    ASSERT_EQ(added.status, STATUS_SUCCESS);
    const VENDOR_ATTR& vendor = added.slot->Extension()->SmartcardExtension.VendorAttr;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(vendor.VendorName.Buffer), vendor.VendorName.Length),
              row.vendor);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(vendor.IfdType.Buffer), vendor.IfdType.Length), row.type);
    EXPECT_EQ(vendor.UnitNo, added.slot->Extension()->UnitNumber);
    EXPECT_EQ(added.slot->Remove(), STATUS_SUCCESS);
  }
}

// Further interface classes under "Key": each string value names one. A value that is no
// string or no GUID fails add-device after the library was initialised, which is shut
// down again; more than four values register the first four.
struct InterfaceRow {
  const char* name;
  std::vector<std::pair<std::string, std::function<void(const std::string&, const std::string&)>>> values;
  NTSTATUS status;
  std::size_t extra;
};

TEST_F(AddDeviceTest, ExtraInterfacesFromTheKeySubkey) {
  auto guid = [](int n) {
    return [n](const std::string& key, const std::string& name) {
      char text[64];
      std::snprintf(text, sizeof text, "{0000000%d-1111-2222-3333-444455556666}", n);
      Registry::SetString(key, name, std::string_view(text));
    };
  };
  auto number = [](const std::string& key, const std::string& name) { Registry::SetDword(key, name, 1); };
  auto notGuid = [](const std::string& key, const std::string& name) {
    Registry::SetString(key, name, std::string_view("smart card"));
  };
  const InterfaceRow rows[] = {
      {"no subkey", {}, STATUS_SUCCESS, 0},
      {"two", {{"a", guid(1)}, {"b", guid(2)}}, STATUS_SUCCESS, 2},
      {"five", {{"a", guid(1)}, {"b", guid(2)}, {"c", guid(3)}, {"d", guid(4)}, {"e", guid(5)}}, STATUS_SUCCESS, 4},
      {"a number", {{"a", guid(1)}, {"b", number}}, STATUS_UNSUCCESSFUL, 0},
      {"not a GUID", {{"a", notGuid}}, STATUS_INVALID_PARAMETER, 0},
  };
  for (const InterfaceRow& row : rows) {
    SCOPED_TRACE(row.name);
    const std::size_t libraryBlocks = hosted::Pool::OutstandingCount(kLibraryTag);
    const std::size_t driverBlocks = hosted::Pool::OutstandingCount(CCID_POOL_TAG);
    const Added added = Add([&](Slot& slot) {
      for (const auto& [name, set] : row.values) set(HardwareKey(slot) + "\\Key", name);
    });
    EXPECT_EQ(added.status, row.status);
    if (row.status != STATUS_SUCCESS) {
      EXPECT_EQ(added.slot->node.FunctionDevice(), nullptr);
      EXPECT_EQ(hosted::Devices::Count(), added.devicesBefore) << "the device object is gone";
      EXPECT_EQ(hosted::Pool::OutstandingCount(kLibraryTag), libraryBlocks) << "SmartcardExit ran";
      EXPECT_EQ(hosted::Pool::OutstandingCount(CCID_POOL_TAG), driverBlocks);
      EXPECT_EQ(DeviceCount, 0u);
      EXPECT_EQ(NextUnitNumber, 0u);
      continue;
    }
    PDEVICE_EXTENSION extension = added.slot->Extension();
    EXPECT_EQ(extension->ExtraInterfaceCount, row.extra);
    EXPECT_EQ(hosted::Devices::Interfaces(added.slot->pdo.Pdo()).size(), row.extra + 1);
    EXPECT_EQ(added.slot->Remove(), STATUS_SUCCESS);
  }
}

TEST_F(AddDeviceTest, EmptyKeySubkeyRegistersNothing) {
  const Added added = Add([&](Slot& slot) { Registry::CreateKey(HardwareKey(slot) + "\\Key"); });
  ASSERT_EQ(added.status, STATUS_SUCCESS);
  EXPECT_EQ(added.slot->Extension()->ExtraInterfaceCount, 0u);
}

// With 100 readers present a further add-device fails and creates nothing.
TEST_F(AddDeviceTest, HundredReadersAtMost) {
  for (int i = 0; i < 100; ++i) ASSERT_EQ(Add().status, STATUS_SUCCESS) << "reader " << i;
  EXPECT_EQ(DeviceCount, 100u);
  const Added refused = Add();
  EXPECT_EQ(refused.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(hosted::Devices::Count(), refused.devicesBefore) << "nothing was created";
  EXPECT_EQ(DeviceCount, 100u);
  EXPECT_EQ(NextUnitNumber, 100u);
  // Unit numbers run modulo 100: after one removal the next reader gets 100 % 100.
  EXPECT_EQ(slots_[50]->Remove(), STATUS_SUCCESS);
  const Added again = Add();
  ASSERT_EQ(again.status, STATUS_SUCCESS);
  EXPECT_EQ(again.slot->Extension()->UnitNumber, 0u);
}

// Unit numbers: 0, 1, 2 in order; the removal of the newest gives its number back; after
// every reader is gone numbering starts at 0 again.
TEST_F(AddDeviceTest, UnitNumbersFollowAdditionsAndRemovals) {
  Slot* readers[3];
  for (ULONG i = 0; i < 3; ++i) {
    const Added added = Add();
    ASSERT_EQ(added.status, STATUS_SUCCESS);
    EXPECT_EQ(added.slot->Extension()->UnitNumber, i);
    readers[i] = added.slot;
  }
  ASSERT_EQ(readers[2]->Remove(), STATUS_SUCCESS);
  EXPECT_EQ(NextUnitNumber, 2u) << "the newest number comes back";
  ASSERT_EQ(readers[0]->Remove(), STATUS_SUCCESS);
  EXPECT_EQ(NextUnitNumber, 2u) << "an older one does not";
  const Added next = Add();
  EXPECT_EQ(next.slot->Extension()->UnitNumber, 2u);
  ASSERT_EQ(readers[1]->Remove(), STATUS_SUCCESS);
  ASSERT_EQ(next.slot->Remove(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceCount, 0u);
  const Added fresh = Add();
  EXPECT_EQ(fresh.slot->Extension()->UnitNumber, 0u);
}

// Every allocation of add-device failing in turn: the failure is reported, and nothing is
// left (device object, pool, library state, interface names, counters). A failed reader
// interface registration does not fail add-device.
TEST_F(AddDeviceTest, EachAllocationFailureUndoesEverything) {
  Slot& probe = NewSlot();
  hosted::AllocationFailures::Clear();
  ASSERT_EQ(probe.node.AddDevice(), STATUS_SUCCESS);
  const std::uint64_t attempts = hosted::AllocationFailures::Attempts();
  ASSERT_EQ(probe.Remove(), STATUS_SUCCESS);
  ASSERT_GT(attempts, 3u);

  for (std::uint64_t nth = 1; nth <= attempts; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth));
    Slot& slot = NewSlot();
    const std::size_t pool = hosted::Pool::OutstandingCount();
    const std::size_t devices = hosted::Devices::Count();
    hosted::AllocationFailures::Clear();
    hosted::AllocationFailures::FailNth(nth);
    const NTSTATUS status = slot.node.AddDevice();
    hosted::AllocationFailures::Clear();
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(DeviceCount, 1u);
      EXPECT_EQ(slot.Remove(), STATUS_SUCCESS);
    } else {
      EXPECT_EQ(hosted::Pool::OutstandingCount(), pool);
      EXPECT_EQ(hosted::Devices::Count(), devices);
      EXPECT_EQ(DeviceCount, 0u);
      EXPECT_EQ(NextUnitNumber, 0u);
    }
  }
}

// The status when attaching fails is STATUS_NO_SUCH_DEVICE; the registered interface's
// name is freed (the test support would report it as leaked pool).
TEST_F(AddDeviceTest, FailedAttachReportsNoSuchDeviceAndFreesTheInterfaceName) {
  Slot& slot = NewSlot();
  const std::size_t devices = hosted::Devices::Count();
  hosted::AllocationFailures::FailRoutine("IoAttachDeviceToDeviceStack", STATUS_UNSUCCESSFUL);
  EXPECT_EQ(slot.node.AddDevice(), STATUS_NO_SUCH_DEVICE);
  hosted::AllocationFailures::Clear();
  EXPECT_EQ(hosted::Devices::Count(), devices);
  EXPECT_EQ(DeviceCount, 0u);
}

TEST_F(AddDeviceTest, FailedReaderInterfaceRegistrationStillAddsTheReader) {
  Slot& slot = NewSlot();
  hosted::AllocationFailures::FailRoutine("IoRegisterDeviceInterface", STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(slot.node.AddDevice(), STATUS_SUCCESS);
  hosted::AllocationFailures::Clear();
  EXPECT_EQ(slot.Extension()->ReaderInterfaceName.Buffer, nullptr);
}

}  // namespace
