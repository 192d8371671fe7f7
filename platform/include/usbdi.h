// The USB driver interface as a client driver includes it: URBs and the
// stack's internal device controls.
#pragma once

#include <usb.h>
#include <usbioctl.h>

#define USBD_STATUS_CANCELLING ((USBD_STATUS)0x00020000L)
#define USBD_STATUS_CANCELING ((USBD_STATUS)0x00020000L)

#define USBD_STATUS(Status) ((ULONG)(Status)&0x0FFFFFFFL)

#define URB_FUNCTION_RESERVED0 0x0016
#define URB_FUNCTION_RESERVED 0x001D
#define URB_FUNCTION_LAST 0x0029
