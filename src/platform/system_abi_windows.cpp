// The numbers the system expects of what the programs hand it: the device-control codes and,
// in the 32-bit build (the shipped one), the documented sizes and offsets of the records given
// to SetupApi and to the pass-through request. A header that changed them would make the
// system read the records wrong without any other sign; here it stops the build.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// after windows.h
#include <setupapi.h>
#include <usbioctl.h>
#include <winioctl.h>
// after winioctl.h
#include <ntddscsi.h>

#include <cstddef>

namespace mox3 {
namespace {

// Every device-control code the programs send, as the documentation gives it.
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x0004D014);
static_assert(IOCTL_STORAGE_GET_DEVICE_NUMBER == 0x002D1080);
static_assert(IOCTL_STORAGE_QUERY_PROPERTY == 0x002D1400);
static_assert(IOCTL_DISK_GET_LENGTH_INFO == 0x0007405C);
static_assert(IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS == 0x00560000);
static_assert(FSCTL_LOCK_VOLUME == 0x00090018);
static_assert(FSCTL_DISMOUNT_VOLUME == 0x00090020);
static_assert(FSCTL_SET_SPARSE == 0x000900C4);
static_assert(FSCTL_QUERY_ALLOCATED_RANGES == 0x000940CF);
static_assert(IOCTL_USB_GET_NODE_INFORMATION == 0x00220408);
static_assert(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX == 0x00220448);
static_assert(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME == 0x00220420);
static_assert(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION == 0x00220410);

#if defined(_WIN32) && !defined(_WIN64)
// SetupApi's records are packed to 1 byte on 32-bit Windows: the detail record's cbSize is 6
// (a DWORD and the first character), not 8, and a wrong cbSize makes the call fail.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6 &&
              offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) == 4);
static_assert(sizeof(SP_DEVINFO_DATA) == 28 && offsetof(SP_DEVINFO_DATA, DevInst) == 20 &&
              offsetof(SP_DEVINFO_DATA, Reserved) == 24);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28 &&
              offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == 20);

// The pass-through request: a 4-byte data pointer after the 20 bytes of header.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12 &&
              offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16 &&
              offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20 &&
              offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24 &&
              offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28);

// The answers of the storage queries (the hub queries' records are pinned where they are
// used, in discovery/device_tree_windows.cpp).
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12);
static_assert(sizeof(GET_LENGTH_INFORMATION) == 8);
#endif

}  // namespace
}  // namespace mox3
