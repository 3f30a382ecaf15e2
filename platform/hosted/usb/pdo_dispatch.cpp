// The PDO's dispatch: internal device control (URBs and port requests), Plug and Play
// and power as a bus driver answers them for its child, WMI passed over untouched.
#include <cstdio>
#include <string>

#include "bus_internal.h"
#include "hosted/kernel/verifier.h"

namespace hosted::usb {
namespace {

constexpr std::uint8_t kRequestClearFeature = 1;
constexpr std::uint8_t kRequestSetFeature = 3;
constexpr std::uint16_t kFeatureRemoteWakeup = 1;

// Completes a request the PDO answers at once; IoStatus.Status is already set.
NTSTATUS CompleteHere(PIRP irp) {
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Windows expects a client to cancel its transfers and wait for them before it asks for a
// port reset: one still pending is reported (the reset then ends it cancelled).
void CheckNoTransferPendingAtReset(BusDevice::Impl& bus) {
  std::string pending;
  std::size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(bus.engine_);
    for (const auto& [id, request] : bus.requests_) {
      if (request->kind != RequestKind::Transfer || request->finished) continue;
      char endpoint[8];
      std::snprintf(endpoint, sizeof endpoint, "0x%02X", request->endpoint);
      if (count++ < 4) pending += (pending.empty() ? "endpoint " : ", endpoint ") + std::string(endpoint);
    }
  }
  if (count == 0) return;
  Verifier::Report(Check::ResetPortWithIoPending, "IOCTL_INTERNAL_USB_RESET_PORT",
                   std::to_string(count) + " transfer(s) still pending (" + pending +
                       "): cancel the client's I/O and wait for it before resetting the port");
}

}  // namespace

// Dispatch routine of the PDO for every major function the bus answers (caller's thread).
NTSTATUS NTAPI PdoDispatch(PDEVICE_OBJECT device, PIRP irp) {
  BusDevice::Impl* bus = BusDevice::Impl::FromDevice(device);
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return bus->InternalDeviceControl(irp);
    case IRP_MJ_PNP:
      return bus->Pnp(irp);
    case IRP_MJ_POWER:
      return bus->Power(irp);
    default:  // IRP_MJ_SYSTEM_CONTROL: no WMI here, the status stays as it came
      return CompleteHere(irp);
  }
}

// IRP_MJ_INTERNAL_DEVICE_CONTROL: URBs, the port reset and the port status.
NTSTATUS BusDevice::Impl::InternalDeviceControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(irp);
    case IOCTL_INTERNAL_USB_RESET_PORT:
      CheckNoTransferPendingAtReset(*this);
      return SubmitResetPort(irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* portStatus = static_cast<PULONG>(stack->Parameters.Others.Argument1);
      bool gone;
      {
        std::lock_guard<std::mutex> lock(engine_);
        gone = gone_ || deviceUnplugged_.load();
      }
      if (portStatus == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
      } else {
        *portStatus = gone ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
        irp->IoStatus.Status = STATUS_SUCCESS;
      }
      irp->IoStatus.Information = 0;
      return CompleteHere(irp);
    }
    default:
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      irp->IoStatus.Information = 0;
      return CompleteHere(irp);
  }
}

// IRP_MJ_PNP (PASSIVE_LEVEL): state requests succeed; what a USB PDO does not answer keeps
// its status. After a removal the configuration is gone; an unplugged device's PDO is
// deleted by ReapRemovedPdo once the function driver has detached.
NTSTATUS BusDevice::Impl::Pnp(PIRP irp) {
  Completions local;
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      {
        std::lock_guard<std::mutex> lock(engine_);
        started_ = true;
        removed_ = false;
      }
      // A bus driver powers its device for a start, whatever state the last function
      // driver left it in (one that never got its D0 request through, say).
      SetDevicePower(PowerDeviceD0);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE: {
      std::lock_guard<std::mutex> lock(engine_);
      started_ = false;
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE: {
      std::lock_guard<std::mutex> lock(engine_);
      started_ = false;
      if (waitWake_ != nullptr && ClaimLocked(waitWake_))
        FinishLocked(waitWake_, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE, local);
      if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        removed_ = true;
        RetirePipesLocked(local);
        configurationValue_ = 0;
      }
      NoteQueuesLocked();
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_CAPABILITIES:
      irp->IoStatus.Status = QueryCapabilities(irp);
      break;
    default:
      break;  // IRP_MN_QUERY_DEVICE_RELATIONS, _QUERY_ID, _QUERY_INTERFACE ...: untouched
  }
  CompleteAll(local);
  const bool removal = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
  const NTSTATUS status = CompleteHere(irp);
  if (removal) ReapRemovedPdo();  // deletes it now if the device is gone and nothing is attached
  return status;
}

// IRP_MN_QUERY_CAPABILITIES: the creator's record, refused (as Windows bus drivers do) for
// a structure of another version or too small.
NTSTATUS BusDevice::Impl::QueryCapabilities(PIRP irp) {
  PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (caps == nullptr || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) return STATUS_UNSUCCESSFUL;
  const PdoCapabilities& c = capabilities_;
  caps->DeviceD1 = c.deviceD1;
  caps->DeviceD2 = c.deviceD2;
  caps->LockSupported = FALSE;
  caps->EjectSupported = FALSE;
  caps->Removable = c.removable;
  caps->DockDevice = FALSE;
  caps->UniqueID = FALSE;
  caps->SilentInstall = FALSE;
  caps->RawDeviceOK = FALSE;
  caps->SurpriseRemovalOK = c.surpriseRemovalOk;
  caps->WakeFromD0 = c.wakeFromD0;
  caps->WakeFromD1 = c.wakeFromD1;
  caps->WakeFromD2 = c.wakeFromD2;
  caps->WakeFromD3 = c.wakeFromD3;
  caps->Address = options_.port;
  caps->UINumber = options_.port;
  for (int s = 0; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = c.deviceState[s];
  caps->SystemWake = c.systemWake;
  caps->DeviceWake = c.deviceWake;
  return STATUS_SUCCESS;
}

// IRP_MJ_POWER: set-power recorded (a device state below D0 suspends the port: transfers
// wait until D0 resumes it), queries succeed, wait-wake pends; other minors keep their
// status.
NTSTATUS BusDevice::Impl::Power(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
      return WaitWake(irp);
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == ::DevicePowerState) {
        SetDevicePower(stack->Parameters.Power.State.DeviceState);
        PoSetPowerState(pdo_, ::DevicePowerState, stack->Parameters.Power.State);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  PoStartNextPowerIrp(irp);
  return CompleteHere(irp);
}

// A state below D0 suspends the port: transfers wait until it is resumed.
void BusDevice::Impl::SetDevicePower(DEVICE_POWER_STATE state) {
  {
    std::lock_guard<std::mutex> lock(engine_);
    devicePower_ = state;
    if (!gone_) device_.Suspend(state != PowerDeviceD0);
  }
  if (state == PowerDeviceD0) Signal(true);
}

// IRP_MN_WAIT_WAKE: refused when the device cannot wake the system from the state asked
// (or from its present device state), busy while another one pends; otherwise it pends
// with remote wake-up enabled on the device until the device signals wake (success) or it
// is cancelled.
NTSTATUS BusDevice::Impl::WaitWake(PIRP irp) {
  const SYSTEM_POWER_STATE wanted = IoGetCurrentIrpStackLocation(irp)->Parameters.WaitWake.PowerState;
  NTSTATUS refusal = STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(engine_);
    if (capabilities_.systemWake == PowerSystemUnspecified || capabilities_.deviceWake == PowerDeviceUnspecified)
      refusal = STATUS_NOT_SUPPORTED;
    else if (wanted > capabilities_.systemWake || devicePower_ > capabilities_.deviceWake)
      refusal = STATUS_INVALID_DEVICE_STATE;
    else if (waitWake_ != nullptr)
      refusal = STATUS_DEVICE_BUSY;
    else if (!gone_)
      DeviceControlLocked(SetupBytes{0x00, kRequestSetFeature, kFeatureRemoteWakeup, 0, 0}, {});
  }
  if (refusal != STATUS_SUCCESS) {
    irp->IoStatus.Status = refusal;
    PoStartNextPowerIrp(irp);
    return CompleteHere(irp);
  }
  auto r = std::make_unique<Request>();
  r->kind = RequestKind::WaitWake;
  r->irp = irp;
  return Accept(std::move(r));
}

// Called with engine_ held when a wait-wake ends: remote wake-up is switched off again.
void BusDevice::Impl::DisarmWakeLocked() {
  if (!gone_) DeviceControlLocked(SetupBytes{0x00, kRequestClearFeature, kFeatureRemoteWakeup, 0, 0}, {});
}

bool BusDevice::Impl::ReapRemovedPdo() {
  PDEVICE_OBJECT pdo = nullptr;
  {
    std::lock_guard<std::mutex> lock(engine_);
    if (pdoDeleted_) return true;
    if (!gone_ || !removed_ || pdo_ == nullptr || pdo_->AttachedDevice != nullptr) return false;
    pdoDeleted_ = true;
    pdo = pdo_;
  }
  IoDeleteDevice(pdo);
  return true;
}

}  // namespace hosted::usb
