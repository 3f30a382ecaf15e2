// Objects: device objects and device stacks, object references, device interfaces and
// symbolic links, power-state bookkeeping.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>

#include "internal.h"
#include "io_manager.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

constexpr unsigned char kFreedDeviceByte = 0xDD;

struct DeviceRecord {
  std::uint64_t serial = 0;
  std::size_t size = 0;
  PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
  bool deleted = false;            // IoDeleteDevice ran; memory kept until the last reference
  std::u16string name;
  DEVICE_POWER_STATE reportedPower = PowerDeviceUnspecified;
};

struct ObjectState {
  std::mutex mutex;
  std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices;
  std::uint64_t serial = 0;
  std::vector<DeviceInterface> interfaces;
  std::map<std::u16string, std::u16string> symbolicLinks;
};

ObjectState& State() {
  static ObjectState* state = new ObjectState();
  return *state;
}

char16_t Upcase(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upcase(a[i]) != Upcase(b[i])) return false;
  }
  return true;
}

std::u16string FromUnicode(PCUNICODE_STRING text) {
  if (text == NULL || text->Buffer == NULL) return std::u16string();
  return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

// Hands a string to the caller in a pool buffer it frees with RtlFreeUnicodeString.
NTSTATUS ReturnString(const char* routine, const std::u16string& text, PUNICODE_STRING out) {
  const std::size_t bytes = (text.size() + 1) * sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(AllocateForCaller(routine, PagedPool, bytes, kStringTag));
  if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, text.c_str(), bytes);
  out->Buffer = buffer;
  out->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  out->MaximumLength = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

std::u16string GuidText(const GUID& guid) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return Widen(buffer);
}

void FreeDeviceMemory(PDEVICE_OBJECT device, std::size_t size) {
  std::memset(device, kFreedDeviceByte, size);
  std::free(device);
}

}  // namespace

namespace hosted::detail {

bool IsLiveDevice(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> lock(State().mutex);
  auto it = State().devices.find(device);
  return it != State().devices.end() && !it->second.deleted;
}

PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> lock(State().mutex);
  auto it = State().devices.find(device);
  return it == State().devices.end() ? nullptr : it->second.lower;
}

// The I/O manager's dispatch routine for every major function a driver did not fill.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::uint64_t DeviceSerial() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().serial;
}

void ReportDeviceLeaks(std::uint64_t since, std::string_view context) {
  std::vector<PDEVICE_OBJECT> leaked;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    for (const auto& [device, record] : State().devices) {
      if (record.serial > since && !record.deleted) leaked.push_back(device);
    }
  }
  for (PDEVICE_OBJECT device : leaked) {
    Verifier::Report(Check::DeviceObjectLeak, "IoCreateDevice",
                     "device object " + PointerText(device) + " still exists " + std::string(context));
    // Take it out of its stack so that the deletion is quiet.
    PDEVICE_OBJECT lower = LowerDevice(device);
    if (lower != nullptr && IsLiveDevice(lower) && lower->AttachedDevice == device) IoDetachDevice(lower);
    if (device->AttachedDevice != NULL) {
      std::lock_guard<std::mutex> lock(State().mutex);
      auto upper = State().devices.find(device->AttachedDevice);
      if (upper != State().devices.end()) upper->second.lower = nullptr;
      device->AttachedDevice = NULL;
    }
    device->ReferenceCount = 0;
    IoDeleteDevice(device);
  }
}

}  // namespace hosted::detail

namespace hosted {

bool Devices::Exists(PDEVICE_OBJECT device) { return IsLiveDevice(device); }

std::size_t Devices::Count() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return static_cast<std::size_t>(std::count_if(State().devices.begin(), State().devices.end(),
                                                [](const auto& entry) { return !entry.second.deleted; }));
}

PDEVICE_OBJECT Devices::Lower(PDEVICE_OBJECT device) { return LowerDevice(device); }

std::vector<DeviceInterface> Devices::Interfaces(PDEVICE_OBJECT physicalDevice) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::vector<DeviceInterface> result;
  for (const DeviceInterface& entry : State().interfaces) {
    if (physicalDevice == nullptr || entry.physicalDevice == physicalDevice) result.push_back(entry);
  }
  return result;
}

DEVICE_POWER_STATE Devices::ReportedPowerState(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> lock(State().mutex);
  auto it = State().devices.find(device);
  return it == State().devices.end() ? PowerDeviceUnspecified : it->second.reportedPower;
}

std::vector<std::pair<std::u16string, std::u16string>> Devices::SymbolicLinks() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return {State().symbolicLinks.begin(), State().symbolicLinks.end()};
}

}  // namespace hosted

// ---- IoCreateDevice --------------------------------------------------------------------
// Device object and zeroed extension in one block; StackSize 1, DO_DEVICE_INITIALIZING set.
extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                        PDEVICE_OBJECT* DeviceObject) {
  if (CurrentIrql() != PASSIVE_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "IoCreateDevice", "called above PASSIVE_LEVEL");
  }
  if (DriverObject == NULL || DeviceObject == NULL) {
    Verifier::Report(Check::InvalidParameter, "IoCreateDevice", "no driver object or no result pointer");
    return STATUS_INVALID_PARAMETER;
  }
  const std::u16string name = FromUnicode(DeviceName);
  const std::size_t extension = (DeviceExtensionSize + 15u) & ~15u;
  const std::size_t size = sizeof(DEVICE_OBJECT) + extension;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    if (!name.empty()) {
      for (const auto& entry : State().devices) {
        if (!entry.second.deleted && EqualNoCase(entry.second.name, name)) return STATUS_OBJECT_NAME_COLLISION;
      }
    }
  }
  if (ShouldFailAllocation("IoCreateDevice", 'iveD', size, __builtin_return_address(0))) return STATUS_INSUFFICIENT_RESOURCES;
  auto* device = static_cast<PDEVICE_OBJECT>(std::aligned_alloc(16, (size + 15u) & ~15u));
  if (device == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(device, 0, size);
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize != 0 ? static_cast<PVOID>(device + 1) : NULL;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    DeviceRecord record;
    record.serial = ++State().serial;
    record.size = size;
    record.name = name;
    State().devices[device] = record;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
  }
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

// ---- IoDeleteDevice --------------------------------------------------------------------
// Unlinks the device from its driver; the memory goes with the last reference.
extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  CheckPassiveLevel("IoDeleteDevice");
  std::string problem;
  std::string attached;
  std::size_t freeSize = 0;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    auto it = State().devices.find(DeviceObject);
    if (it == State().devices.end() || it->second.deleted) {
      problem = PointerText(DeviceObject) + " is not a device object (deleted twice?)";
    } else {
      DeviceRecord& record = it->second;
      if (record.lower != nullptr || DeviceObject->AttachedDevice != NULL) {
        attached = "device " + PointerText(DeviceObject) +
                   (record.lower != nullptr
                        ? " is still attached to " + PointerText(record.lower)
                        : " still has " + PointerText(DeviceObject->AttachedDevice) + " attached above it");
      }
      PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
      while (*link != NULL && *link != DeviceObject) link = &(*link)->NextDevice;
      if (*link == DeviceObject) *link = DeviceObject->NextDevice;
      record.deleted = true;
      // A deleted PDO's interface registrations go with it: a later PDO at the same
      // address is another device instance.
      std::erase_if(State().interfaces,
                    [DeviceObject](const DeviceInterface& entry) { return entry.physicalDevice == DeviceObject; });
      if (DeviceObject->ReferenceCount == 0) {
        freeSize = record.size;
        State().devices.erase(it);
        for (auto& entry : State().devices) {
          if (entry.second.lower == DeviceObject) entry.second.lower = nullptr;
        }
      }
    }
  }
  if (!problem.empty()) {
    Verifier::Report(Check::DeviceInvalid, "IoDeleteDevice", problem);
    return;
  }
  if (!attached.empty()) Verifier::Report(Check::DeviceDeletedAttached, "IoDeleteDevice", attached);
  if (freeSize != 0) FreeDeviceMemory(DeviceObject, freeSize);
}

// ---- IoAttachDeviceToDeviceStack -------------------------------------------------------
// Attaches on top of the target's stack; the new device's StackSize is one more than the
// device it lands on, which is returned.
extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  if (!IsLiveDevice(SourceDevice) || !IsLiveDevice(TargetDevice)) {
    Verifier::Report(Check::DeviceInvalid, "IoAttachDeviceToDeviceStack", "source or target is not a device object");
    return NULL;
  }
  NTSTATUS ignored;
  if (ShouldFailCall("IoAttachDeviceToDeviceStack", &ignored, __builtin_return_address(0))) return NULL;
  std::lock_guard<std::mutex> lock(State().mutex);
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice != NULL) top = top->AttachedDevice;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement) {
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  }
  State().devices.at(SourceDevice).lower = top;
  return top;
}

// ---- IoDetachDevice --------------------------------------------------------------------
// TargetDevice is the lower device; the one attached to it comes off.
extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  std::string problem;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    auto it = State().devices.find(TargetDevice);
    if (it == State().devices.end() || TargetDevice->AttachedDevice == NULL) {
      problem = "nothing is attached to " + PointerText(TargetDevice);
    } else {
      auto upper = State().devices.find(TargetDevice->AttachedDevice);
      if (upper != State().devices.end()) upper->second.lower = nullptr;
      TargetDevice->AttachedDevice = NULL;
    }
  }
  if (!problem.empty()) Verifier::Report(Check::InvalidParameter, "IoDetachDevice", problem);
}

// ---- IoGetAttachedDevice ---------------------------------------------------------------
extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> lock(State().mutex);
  PDEVICE_OBJECT top = DeviceObject;
  while (top->AttachedDevice != NULL) top = top->AttachedDevice;
  return top;
}

// ---- IoGetAttachedDeviceReference ------------------------------------------------------
extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  ObfReferenceObject(top);
  return top;
}

// ---- ObfReferenceObject ----------------------------------------------------------------
// Device objects are counted; other objects have no lifetime of their own here.
extern "C" LONG_PTR __fastcall ObfReferenceObject(PVOID Object) {
  std::lock_guard<std::mutex> lock(State().mutex);
  auto it = State().devices.find(static_cast<PDEVICE_OBJECT>(Object));
  if (it == State().devices.end()) return 1;
  return InterlockedIncrement(&static_cast<PDEVICE_OBJECT>(Object)->ReferenceCount);
}

// ---- ObfDereferenceObject --------------------------------------------------------------
extern "C" LONG_PTR __fastcall ObfDereferenceObject(PVOID Object) {
  auto* device = static_cast<PDEVICE_OBJECT>(Object);
  std::size_t freeSize = 0;
  LONG count;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    auto it = State().devices.find(device);
    if (it == State().devices.end()) return 0;
    count = InterlockedDecrement(&device->ReferenceCount);
    if (count < 0) {
      device->ReferenceCount = 0;
      count = 0;
    }
    if (count == 0 && it->second.deleted) {
      freeSize = it->second.size;
      State().devices.erase(it);
    }
  }
  if (freeSize != 0) FreeDeviceMemory(device, freeSize);
  return count;
}

// ---- IoRegisterDeviceInterface ---------------------------------------------------------
// Registers (or finds again) an interface of a PDO; the link name is the caller's to free
// with RtlFreeUnicodeString.
extern "C" NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                                   CONST GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                                   PUNICODE_STRING SymbolicLinkName) {
  if (CurrentIrql() != PASSIVE_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "IoRegisterDeviceInterface", "called above PASSIVE_LEVEL");
  }
  if (!IsLiveDevice(PhysicalDeviceObject) || LowerDevice(PhysicalDeviceObject) != nullptr) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  NTSTATUS status;
  if (ShouldFailCall("IoRegisterDeviceInterface", &status, __builtin_return_address(0))) return status;
  const std::u16string reference = FromUnicode(ReferenceString);
  std::u16string link;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    for (const DeviceInterface& entry : State().interfaces) {
      if (entry.physicalDevice == PhysicalDeviceObject && IsEqualGUID(entry.classGuid, *InterfaceClassGuid) &&
          EqualNoCase(entry.referenceString, reference)) {
        link = entry.symbolicLink;
      }
    }
    if (link.empty()) {
      link = u"\\??\\HOSTED#DEV_" + Widen(std::to_string(State().devices.at(PhysicalDeviceObject).serial)) + u"#" +
             GuidText(*InterfaceClassGuid) + (reference.empty() ? u"" : u"\\" + reference);
      State().interfaces.push_back(DeviceInterface{PhysicalDeviceObject, *InterfaceClassGuid, reference, link, false});
    }
  }
  return ReturnString("IoRegisterDeviceInterface", link, SymbolicLinkName);
}

// ---- IoSetDeviceInterfaceState ---------------------------------------------------------
// Enabling an enabled interface returns STATUS_OBJECT_NAME_EXISTS; disabling a disabled one
// STATUS_OBJECT_NAME_NOT_FOUND.
extern "C" NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  CheckPassiveLevel("IoSetDeviceInterfaceState");
  const std::u16string link = FromUnicode(SymbolicLinkName);
  std::lock_guard<std::mutex> lock(State().mutex);
  for (DeviceInterface& entry : State().interfaces) {
    if (!EqualNoCase(entry.symbolicLink, link)) continue;
    if (static_cast<bool>(Enable) == entry.enabled) {
      return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    entry.enabled = Enable != FALSE;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

// ---- IoCreateSymbolicLink --------------------------------------------------------------
extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  CheckPassiveLevel("IoCreateSymbolicLink");
  const std::u16string link = FromUnicode(SymbolicLinkName);
  std::lock_guard<std::mutex> lock(State().mutex);
  for (const auto& entry : State().symbolicLinks) {
    if (EqualNoCase(entry.first, link)) return STATUS_OBJECT_NAME_COLLISION;
  }
  State().symbolicLinks[link] = FromUnicode(DeviceName);
  return STATUS_SUCCESS;
}

// ---- IoDeleteSymbolicLink --------------------------------------------------------------
extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  CheckPassiveLevel("IoDeleteSymbolicLink");
  const std::u16string link = FromUnicode(SymbolicLinkName);
  std::lock_guard<std::mutex> lock(State().mutex);
  for (auto it = State().symbolicLinks.begin(); it != State().symbolicLinks.end(); ++it) {
    if (EqualNoCase(it->first, link)) {
      State().symbolicLinks.erase(it);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

// ---- PoSetPowerState -------------------------------------------------------------------
// Records the device state the driver reports; returns the previous one.
extern "C" POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  POWER_STATE previous;
  previous.DeviceState = PowerDeviceUnspecified;
  if (Type != DevicePowerState) return previous;
  std::lock_guard<std::mutex> lock(::State().mutex);
  auto it = ::State().devices.find(DeviceObject);
  if (it == ::State().devices.end()) return previous;
  previous.DeviceState = it->second.reportedPower;
  it->second.reportedPower = State.DeviceState;
  return previous;
}
