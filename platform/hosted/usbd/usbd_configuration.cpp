// USBD.SYS's two configuration routines as a client driver calls them.
//
// The parser walks the descriptors of a configuration set by their bLength, never past
// wTotalLength, and stops at a descriptor of length 0 or one that runs past the end, so a
// malformed set yields "no interface" rather than an endless walk or an overrun. The
// request builder lays the interface records out one after another in the URB, each with
// room for its interface's endpoints.
#include <usbdlib.h>

#include <cstddef>
#include <string>

#include "hosted/kernel/verifier.h"

namespace {

// Reads "USBD" in a pool dump.
constexpr ULONG kUsbdTag = 'DBSU';
constexpr std::size_t kConfigurationHeader = 9;  // bLength..MaxPower of the configuration descriptor
constexpr std::size_t kInterfaceDescriptorLength = 9;
constexpr std::size_t kInterfaceRecordHead = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
constexpr std::size_t kUrbHead = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);

std::size_t TotalLength(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
  const auto* bytes = reinterpret_cast<const UCHAR*>(configuration);
  return static_cast<std::size_t>(bytes[2]) | static_cast<std::size_t>(bytes[3]) << 8;
}

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == static_cast<LONG>(value); }

// The size of one interface record with room for `endpoints` pipes (GET_USBD_INTERFACE_SIZE).
std::size_t InterfaceRecordSize(UCHAR endpoints) {
  return kInterfaceRecordHead + static_cast<std::size_t>(endpoints) * sizeof(USBD_PIPE_INFORMATION);
}

}  // namespace

// ---- USBD_ParseConfigurationDescriptorEx ------------------------------------------------
// The first interface descriptor at or after StartPosition that matches every criterion
// other than -1; NULL when there is none (below DISPATCH_LEVEL).
extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    hosted::Verifier::Report(hosted::Check::IrqlInvalid, "USBD_ParseConfigurationDescriptorEx",
                             "called at DISPATCH_LEVEL or above");
  }
  if (ConfigurationDescriptor == NULL || StartPosition == NULL) return NULL;
  auto* base = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
  const std::size_t total = TotalLength(ConfigurationDescriptor);
  auto* start = static_cast<PUCHAR>(StartPosition);
  if (total < kConfigurationHeader || start < base || start >= base + total) return NULL;
  for (std::size_t offset = static_cast<std::size_t>(start - base); offset + 2 <= total;) {
    const UCHAR length = base[offset];
    const UCHAR type = base[offset + 1];
    if (length == 0 || offset + length > total) return NULL;  // malformed: the walk ends here
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= kInterfaceDescriptorLength) {
      auto* candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(base + offset);
      if (Matches(InterfaceNumber, candidate->bInterfaceNumber) &&
          Matches(AlternateSetting, candidate->bAlternateSetting) &&
          Matches(InterfaceClass, candidate->bInterfaceClass) &&
          Matches(InterfaceSubClass, candidate->bInterfaceSubClass) &&
          Matches(InterfaceProtocol, candidate->bInterfaceProtocol)) {
        return candidate;
      }
    }
    offset += length;
  }
  return NULL;
}

// ---- USBD_CreateConfigurationRequestEx --------------------------------------------------
// A select-configuration URB for the interfaces of the list (ended by an entry whose
// InterfaceDescriptor is NULL), from non-paged pool; each entry's Interface is pointed at
// its record inside the URB. The caller frees the URB with ExFreePool. NULL when out of
// pool or for an empty list (up to DISPATCH_LEVEL).
extern "C" PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                        PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    hosted::Verifier::Report(hosted::Check::IrqlInvalid, "USBD_CreateConfigurationRequestEx",
                             "called above DISPATCH_LEVEL");
  }
  if (ConfigurationDescriptor == NULL || InterfaceList == NULL || InterfaceList[0].InterfaceDescriptor == NULL) {
    hosted::Verifier::Report(hosted::Check::InvalidParameter, "USBD_CreateConfigurationRequestEx",
                             "no configuration descriptor or an empty interface list");
    return NULL;
  }
  std::size_t size = kUrbHead;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL; ++entry) {
    size += InterfaceRecordSize(entry->InterfaceDescriptor->bNumEndpoints);
  }
  if (size > 0xFFFF) return NULL;  // Hdr.Length cannot say it
  // Never smaller than the structure, so that its fixed part can always be addressed.
  const std::size_t allocation = size < sizeof(struct _URB_SELECT_CONFIGURATION) ? sizeof(struct _URB_SELECT_CONFIGURATION) : size;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, allocation, kUsbdTag));
  if (urb == NULL) return NULL;
  RtlZeroMemory(urb, allocation);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  auto* record = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL; ++entry) {
    const PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
    auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
    information->Length = static_cast<USHORT>(InterfaceRecordSize(descriptor->bNumEndpoints));
    information->InterfaceNumber = descriptor->bInterfaceNumber;
    information->AlternateSetting = descriptor->bAlternateSetting;
    information->NumberOfPipes = descriptor->bNumEndpoints;
    for (UCHAR pipe = 0; pipe < descriptor->bNumEndpoints; ++pipe) {
      information->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    entry->Interface = information;
    record += information->Length;
  }
  return urb;
}
