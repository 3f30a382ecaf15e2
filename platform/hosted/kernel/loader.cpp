// The loader: driver objects, DriverEntry and DriverUnload, and the unload checks.
#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "internal.h"
#include "io_manager.h"
#include "kernel_state.h"
#include "registry.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

struct LoadedDriver {
  DRIVER_OBJECT object;
  DRIVER_EXTENSION extension;
  std::u16string name;
  std::u16string serviceName;
  std::uint64_t poolAtLoad;
  std::uint64_t devicesAtLoad;
  std::shared_ptr<void> image;
};

struct LoaderState {
  std::mutex mutex;
  std::unordered_map<PDRIVER_OBJECT, std::unique_ptr<LoadedDriver>> drivers;
};

LoaderState& State() {
  static LoaderState* state = new LoaderState();
  return *state;
}

PDRIVER_OBJECT CreateDriverObject(std::string_view name, std::string_view service) {
  auto driver = std::make_unique<LoadedDriver>();
  std::memset(&driver->object, 0, sizeof driver->object);
  std::memset(&driver->extension, 0, sizeof driver->extension);
  driver->name = u"\\Driver\\" + Widen(name);
  driver->serviceName = Widen(service);
  driver->poolAtLoad = PoolSerial();
  driver->devicesAtLoad = DeviceSerial();
  DRIVER_OBJECT& object = driver->object;
  object.Type = IO_TYPE_DRIVER;
  object.Size = sizeof(DRIVER_OBJECT);
  object.DriverExtension = &driver->extension;
  object.DriverName.Buffer = driver->name.data();
  object.DriverName.Length = static_cast<USHORT>(driver->name.size() * sizeof(WCHAR));
  object.DriverName.MaximumLength = object.DriverName.Length;
  for (PDRIVER_DISPATCH& entry : object.MajorFunction) entry = InvalidDeviceRequest;
  driver->extension.DriverObject = &object;
  driver->extension.ServiceKeyName.Buffer = driver->serviceName.data();
  driver->extension.ServiceKeyName.Length = static_cast<USHORT>(driver->serviceName.size() * sizeof(WCHAR));
  driver->extension.ServiceKeyName.MaximumLength = driver->extension.ServiceKeyName.Length;
  PDRIVER_OBJECT result = &driver->object;
  std::lock_guard<std::mutex> lock(State().mutex);
  State().drivers[result] = std::move(driver);
  return result;
}

std::unique_ptr<LoadedDriver> TakeDriver(PDRIVER_OBJECT object) {
  std::lock_guard<std::mutex> lock(State().mutex);
  auto it = State().drivers.find(object);
  if (it == State().drivers.end()) return nullptr;
  std::unique_ptr<LoadedDriver> driver = std::move(it->second);
  State().drivers.erase(it);
  return driver;
}

// Devices the driver left behind: reported, then taken down.
void CheckDevicesGone(PDRIVER_OBJECT object, std::string_view context) {
  std::size_t left = 0;
  for (PDEVICE_OBJECT device = object->DeviceObject; device != NULL; device = device->NextDevice) ++left;
  if (left == 0) return;
  Verifier::Report(Check::DeviceObjectLeak, "DriverUnload",
                   std::to_string(left) + " device object(s) of the driver still exist " + std::string(context));
  while (object->DeviceObject != NULL) {
    PDEVICE_OBJECT device = object->DeviceObject;
    PDEVICE_OBJECT lower = Devices::Lower(device);
    if (lower != nullptr && Devices::Exists(lower) && lower->AttachedDevice == device) IoDetachDevice(lower);
    device->AttachedDevice = NULL;
    device->ReferenceCount = 0;
    IoDeleteDevice(device);
  }
}

}  // namespace

namespace hosted {

std::string (*detail::g_imageSymbolName)(const void* address) = nullptr;

std::u16string Drivers::ServiceKeyPath(std::string_view serviceName) {
  return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Widen(serviceName);
}

PDRIVER_OBJECT Drivers::Load(PDRIVER_INITIALIZE driverEntry, const LoadOptions& options, NTSTATUS* entryStatus) {
  PDRIVER_OBJECT object = CreateDriverObject(options.serviceName, options.serviceName);
  object->DriverInit = driverEntry;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().drivers[object]->image = options.image;
  }
  const std::u16string path = options.registryPath.empty() ? ServiceKeyPath(options.serviceName) : options.registryPath;
  if (options.createServiceKey) Registry::CreateKey(Narrow(path.c_str(), path.size()));
  // The path lives only during DriverEntry, as on Windows: a driver must copy it.
  const std::size_t chars = path.size();
  auto* buffer = new WCHAR[chars + 1];
  std::memcpy(buffer, path.c_str(), (chars + 1) * sizeof(WCHAR));
  UNICODE_STRING registryPath;
  registryPath.Buffer = buffer;
  registryPath.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
  registryPath.MaximumLength = static_cast<USHORT>((chars + 1) * sizeof(WCHAR));
  const KIRQL irql = CurrentIrql();
  const std::size_t locks = CurrentThread().heldLocks.size();
  const NTSTATUS status = driverEntry(object, &registryPath);
  CheckRoutineReturn("DriverEntry", irql, locks);
  for (std::size_t i = 0; i <= chars; ++i) buffer[i] = 0xDEAD;
  delete[] buffer;
  if (entryStatus != nullptr) *entryStatus = status;
  if (NT_SUCCESS(status)) return object;
  // A failed DriverEntry: the image goes without DriverUnload; what it left is a leak.
  std::unique_ptr<LoadedDriver> driver = TakeDriver(object);
  DrainWorkQueue();
  CheckDevicesGone(object, "after DriverEntry failed");
  ReportPoolLeaks(driver->poolAtLoad, "DriverEntry", "after DriverEntry failed");
  return nullptr;
}

std::size_t Drivers::Unload(PDRIVER_OBJECT driver) {
  if (driver == nullptr) return 0;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    if (State().drivers.count(driver) == 0) {
      Verifier::Report(Check::InvalidParameter, "DriverUnload", "driver object " + PointerText(driver) + " is not loaded");
      return 0;
    }
  }
  DrainWorkQueue();
  if (driver->DriverUnload != NULL) {
    const KIRQL irql = CurrentIrql();
    const std::size_t locks = CurrentThread().heldLocks.size();
    driver->DriverUnload(driver);
    CheckRoutineReturn("DriverUnload", irql, locks);
  } else {
    Verifier::Report(Check::InvalidParameter, "DriverUnload", "the driver has no unload routine: it cannot be unloaded");
  }
  DrainWorkQueue();
  WaitDriverRoutinesReturned();
  std::unique_ptr<LoadedDriver> loaded = TakeDriver(driver);
  CheckDevicesGone(driver, "after the driver unloaded");
  return ReportPoolLeaks(loaded->poolAtLoad, "DriverUnload", "after the driver unloaded");
}

PDRIVER_OBJECT Drivers::Create(std::string_view name) { return CreateDriverObject(name, name); }

void Drivers::Destroy(PDRIVER_OBJECT driver) {
  if (driver == nullptr) return;
  DrainWorkQueue();
  std::unique_ptr<LoadedDriver> loaded = TakeDriver(driver);
  if (loaded == nullptr) {
    Verifier::Report(Check::InvalidParameter, "Drivers::Destroy", "not a driver object");
    return;
  }
  CheckDevicesGone(driver, "when the driver object was destroyed");
}

bool Drivers::IsDefaultDispatch(PDRIVER_DISPATCH routine) { return routine == InvalidDeviceRequest; }

std::vector<DispatchEntry> Drivers::DispatchTable(PDRIVER_OBJECT driver) {
  std::vector<DispatchEntry> table;
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    PDRIVER_DISPATCH routine = driver->MajorFunction[major];
    table.push_back(DispatchEntry{major, MajorName(major), routine, IsDefaultDispatch(routine),
                                  IsDefaultDispatch(routine) ? "IopInvalidDeviceRequest"
                                                             : SymbolName(reinterpret_cast<const void*>(routine))});
  }
  return table;
}

std::string Drivers::SymbolName(const void* address) {
  if (g_imageSymbolName != nullptr) {
    std::string name = g_imageSymbolName(address);
    if (!name.empty()) return name;
  }
  Dl_info info;
  if (address != nullptr && dladdr(address, &info) != 0 && info.dli_sname != nullptr) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled != nullptr ? demangled : info.dli_sname;
    std::free(demangled);
    return name;
  }
  return PointerText(address);
}

}  // namespace hosted
