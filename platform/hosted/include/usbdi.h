// The USB client driver interface: URBs (usb.h), the internal control codes (usbioctl.h)
// and the further status codes and flags that the USBD interface adds.
#pragma once

#include <usb.h>
#include <usbioctl.h>

#define USBD_STATUS_CANCELLING ((USBD_STATUS)0x00020000)
#define USBD_STATUS_CANCELING ((USBD_STATUS)0x00020000)
#define USBD_STATUS_NO_MEMORY ((USBD_STATUS)0x80000100u)
#define USBD_STATUS_ERROR ((USBD_STATUS)0x80000000u)
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500u)
#define USBD_STATUS_HALTED ((USBD_STATUS)0xC0000000u)

#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)
#define USBD_STATUS(Status) ((ULONG)(Status) & 0x0FFFFFFFu)

#define URB_FUNCTION_RESERVED0 0x0016
#define URB_FUNCTION_RESERVED 0x001d
#define URB_FUNCTION_LAST 0x0029

#define USBD_PF_DOUBLE_BUFFER 0x00000002

#define USBD_TRANSFER_DIRECTION_BIT 0
#define USBD_SHORT_TRANSFER_OK_BIT 1
#define USBD_START_ISO_TRANSFER_ASAP_BIT 2

// As in the Windows header, usbdi.h turns USBD_TRANSFER_DIRECTION into a test of the
// direction bit; flags are built from USBD_TRANSFER_DIRECTION_IN/OUT.
#undef USBD_TRANSFER_DIRECTION
#define USBD_TRANSFER_DIRECTION(x) ((x) & USBD_TRANSFER_DIRECTION_IN)

#undef USBD_PF_VALID_MASK
#define USBD_PF_VALID_MASK \
    (USBD_PF_CHANGE_MAX_PACKET | USBD_PF_DOUBLE_BUFFER | USBD_PF_ENABLE_RT_THREAD_ACCESS | USBD_PF_MAP_ADD_TRANSFERS)
