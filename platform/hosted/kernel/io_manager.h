// The hosted I/O manager's side of drivers and devices: loading and unloading a driver,
// driver objects for test and bus drivers, and what a test may inspect of devices.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace hosted {

struct LoadOptions {
  std::string serviceName = "ccid";
  // The RegistryPath given to DriverEntry; empty means the service key of serviceName,
  // "\Registry\Machine\System\CurrentControlSet\Services\<serviceName>".
  std::u16string registryPath;
  bool createServiceKey = true;  // create that key in the registry if it is missing
  // What the driver's code lives in (a mapped image), released once the driver is gone:
  // after DriverUnload and the unload checks, or after a failed DriverEntry.
  std::shared_ptr<void> image;
};

struct DispatchEntry {
  UCHAR major;
  std::string majorName;  // "IRP_MJ_CREATE"
  PDRIVER_DISPATCH routine;
  bool isDefault;         // the I/O manager's invalid-device-request routine
  std::string symbol;     // the routine's name when the executable exports it, else its address
};

struct DeviceInterface {
  PDEVICE_OBJECT physicalDevice;
  GUID classGuid;
  std::u16string referenceString;
  std::u16string symbolicLink;
  bool enabled;
};

class Drivers {
 public:
  // Loads a driver: creates its DRIVER_OBJECT (every major function failing with
  // STATUS_INVALID_DEVICE_REQUEST) and calls DriverEntry at PASSIVE_LEVEL with the service
  // key path. Returns the driver object if DriverEntry succeeded; otherwise the image is
  // dropped as Windows does (no DriverUnload; leaks are reported) and NULL is returned.
  static PDRIVER_OBJECT Load(PDRIVER_INITIALIZE driverEntry, const LoadOptions& options = {},
                             NTSTATUS* entryStatus = nullptr);
  // Calls DriverUnload, then the verifier's unload checks: device objects left, pool leaked
  // since the load (both reported, then released).
  // Returns the number of pool blocks the driver left behind.
  static std::size_t Unload(PDRIVER_OBJECT driver);

  // A driver object without an image, for test drivers and bus drivers: fill its
  // MajorFunction entries, create devices with IoCreateDevice. Destroy deletes it (its
  // devices must be gone).
  static PDRIVER_OBJECT Create(std::string_view name);
  static void Destroy(PDRIVER_OBJECT driver);

  static std::vector<DispatchEntry> DispatchTable(PDRIVER_OBJECT driver);
  // Name of a code address (demangled) if the executable exports it, else its address.
  static std::string SymbolName(const void* address);
  static std::u16string ServiceKeyPath(std::string_view serviceName);
  static bool IsDefaultDispatch(PDRIVER_DISPATCH routine);
};

class Devices {
 public:
  static bool Exists(PDEVICE_OBJECT device);
  static std::size_t Count();
  // The device this one is attached to (NULL for the bottom of a stack, a PDO).
  static PDEVICE_OBJECT Lower(PDEVICE_OBJECT device);
  // Registered device interfaces (of one PDO, or all with NULL).
  static std::vector<DeviceInterface> Interfaces(PDEVICE_OBJECT physicalDevice = nullptr);
  // Last state the device reported with PoSetPowerState (PowerDeviceUnspecified if none).
  static DEVICE_POWER_STATE ReportedPowerState(PDEVICE_OBJECT device);
  // Symbolic links made with IoCreateSymbolicLink: link -> device name.
  static std::vector<std::pair<std::u16string, std::u16string>> SymbolicLinks();
};

// IRPs the I/O manager handed out so far (IoAllocateIrp, IoBuildDeviceIoControlRequest and
// the user-mode side's requests, which use IoAllocateIrp): the difference across an
// operation is what it allocated.
class Irps {
 public:
  static std::uint64_t Allocations();
};

}  // namespace hosted
