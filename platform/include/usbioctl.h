// Internal device controls of the USB stack (the WDK's usbioctl.h subset).
// The codes are CTL_CODE(FILE_DEVICE_USB = FILE_DEVICE_UNKNOWN, function,
// METHOD_NEITHER, FILE_ANY_ACCESS), spelled out so that this header needs
// nothing from wdm.h.
#pragma once

#include <usb.h>

#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_ROOTHUB_PDO 3
#define USB_GET_PORT_STATUS 4
#define USB_ENABLE_PORT 5
#define USB_CYCLE_PORT 7

#define IOCTL_INTERNAL_USB_SUBMIT_URB 0x00220003u
#define IOCTL_INTERNAL_USB_RESET_PORT 0x00220007u
#define IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO 0x0022000Fu
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS 0x00220013u
#define IOCTL_INTERNAL_USB_ENABLE_PORT 0x00220017u
#define IOCTL_INTERNAL_USB_CYCLE_PORT 0x0022001Fu

// Bits of the port status word that IOCTL_INTERNAL_USB_GET_PORT_STATUS writes
// through Parameters.Others.Argument1.
#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

#ifdef CTL_CODE
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB ==
                  CTL_CODE(FILE_DEVICE_UNKNOWN, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS),
              "submit-URB control code");
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == CTL_CODE(FILE_DEVICE_UNKNOWN,
                                                             USB_GET_PORT_STATUS, METHOD_NEITHER,
                                                             FILE_ANY_ACCESS),
              "port-status control code");
#endif
