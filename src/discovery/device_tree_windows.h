// The device tree of Windows: the device-installation library ("SetupApi.dll") and the
// configuration manager ("cfgmgr32.dll"), both loaded at run time from the system folder and
// called by name, the storage queries on an interface path, and the USB hub queries that read a
// port's device and string descriptors.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// after windows.h
#include <cfgmgr32.h>
#include <setupapi.h>
#include <usbioctl.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/device_tree.h"

namespace mox3 {

// A library of the system folder, given by its bare file name and loaded (LoadSystemLibrary)
// when the binding is made. Each entry point is looked up by name the first time it is needed
// and kept; a library that did not load or a name it lacks gives a null entry point, and the
// call is then not made.
class LazyLibrary {
  public:
    static constexpr std::size_t kEntrySlots = 41;

    // `names[i]` is the name of slot i.
    LazyLibrary(const wchar_t* fileName, std::span<const char* const> names);
    virtual ~LazyLibrary();
    LazyLibrary(const LazyLibrary&) = delete;
    LazyLibrary& operator=(const LazyLibrary&) = delete;

    bool loaded() const { return module_ != nullptr; }
    // The entry point of slot `slot`, or null.
    FARPROC Resolve(std::size_t slot);
    // How many times a name has been looked up in the library so far.
    std::size_t lookups() const { return lookups_.load(); }

  protected:
    template <typename Fn>
    Fn* Entry(std::size_t slot) {
        // Through the generic function pointer type, which converts to any other silently.
        return reinterpret_cast<Fn*>(reinterpret_cast<void (*)()>(Resolve(slot)));
    }

  private:
    HMODULE module_ = nullptr;
    std::span<const char* const> names_;
    std::array<std::atomic<FARPROC>, kEntrySlots> slots_{};
    std::atomic<std::size_t> lookups_{0};
};

// The device-installation library. Every operation fails when its entry point is missing.
class SetupApiBinding : public LazyLibrary {
  public:
    explicit SetupApiBinding(const wchar_t* fileName = L"SetupApi.dll");

    // INVALID_HANDLE_VALUE when the list cannot be made.
    HDEVINFO GetClassDevs(const GUID* cls, const wchar_t* enumerator, DWORD flags);
    bool EnumDeviceInterfaces(HDEVINFO set, const GUID* cls, DWORD index,
                              SP_DEVICE_INTERFACE_DATA& data);
    bool GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data,
                                  SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                  SP_DEVINFO_DATA* info);
    bool EnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA& info);
    bool GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property,
                                   BYTE* buffer, DWORD size);
    bool GetDeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA& info, wchar_t* buffer, DWORD units);
    bool DestroyDeviceInfoList(HDEVINFO set);
};

// The configuration manager. Every operation fails when its entry point is missing or the
// call does not return CR_SUCCESS.
class CCfgMgr : public LazyLibrary {
  public:
    explicit CCfgMgr(const wchar_t* fileName = L"cfgmgr32.dll");
    ~CCfgMgr() override = default;

    bool GetParent(DEVINST& parent, DEVINST node);
    // At most `units` units including the terminator; the text is always terminated.
    bool GetDeviceId(DEVINST node, wchar_t* buffer, ULONG units);
    bool GetDevNodeRegistryProperty(DEVINST node, ULONG property, void* buffer, ULONG size);
};

// Pieces of the hub walk that work on the bytes the hub returns.

inline constexpr std::size_t kNodeInformationSize = 76;
inline constexpr std::size_t kConnectionInformationSize = 365;
inline constexpr std::size_t kDriverKeyNameSize = 1034;
inline constexpr std::size_t kDescriptorRequestSize = 1036;
inline constexpr std::size_t kDescriptorRequestHeader = 12;  // port and setup packet
inline constexpr std::uint16_t kEnglishUs = 0x0409;

// The hub's port count from an IOCTL_USB_GET_NODE_INFORMATION answer.
std::optional<unsigned> HubPortCount(std::span<const std::uint8_t> nodeInformation);

// The device descriptor of an IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX answer when a
// device is connected to the port.
std::optional<USB_DEVICE_DESCRIPTOR> ConnectedDevice(std::span<const std::uint8_t> connection);

// The driver-key name of an IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME answer, up to its
// terminator or the end of the answer.
std::u16string DriverKeyName(std::span<const std::uint8_t> answer);

// The IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION request for string `index` of the device
// on `port`, in US English, with room for 1024 bytes of answer.
std::array<std::uint8_t, kDescriptorRequestSize> StringDescriptorRequest(std::uint32_t port,
                                                                         std::uint8_t index);

// The text of a string descriptor (the bytes after the request header): bLength - 2 bytes of
// UTF-16LE after the two header bytes, as far as the descriptor holds them, up to the first
// zero unit. An odd last byte is dropped.
std::u16string DecodeStringDescriptor(std::span<const std::uint8_t> descriptor);

// Whole-text comparison without regard to case, as the platform compares device names.
bool SameName(std::u16string_view a, std::u16string_view b);

// A device of the USB enumerator: its driver key (SPDRP_DRIVER) and its instance id.
struct UsbEnumeratedDevice {
    std::u16string driverKey;
    std::u16string instanceId;
};

// The first device whose driver key is the port's and whose instance id is the wanted one.
std::optional<std::size_t> MatchPortDevice(std::span<const UsbEnumeratedDevice> devices,
                                           std::u16string_view portDriverKey,
                                           std::u16string_view usbDeviceId);

// What the tree asks of an open device (a hub or a disk): one request whose input (`inSize`
// bytes, may be 0) is at the start of `buffer` and whose answer comes back in it; the number of
// bytes answered, or nothing when the device refuses.
class DeviceRequests {
  public:
    virtual ~DeviceRequests() = default;
    virtual std::optional<DWORD> Control(DWORD code, void* buffer, DWORD inSize, DWORD outSize) = 0;
};

// The port of `hub` that a device is connected to whose driver key is `driverKey`; nothing
// when no port holds it (or the hub does not tell its ports).
std::optional<unsigned> FindPortByDriverKey(DeviceRequests& hub, std::u16string_view driverKey);

// Where a USB device is plugged in, as DeviceTree::UsbPort tells it: the hub's instance id,
// "#" and the port number ("USB\ROOT_HUB30\4&1A2B3C&0&0#3"). The hub keeps its instance id
// and the port its number while the device leaves and comes back, in whatever mode.
std::u16string UsbPortText(std::u16string_view hubInstanceId, unsigned port);

// Every call the tree makes of the system: the operations of the two libraries as their
// bindings above make them, and opening a device path (CreateFileW) for DeviceIoControl.
class WindowsDeviceSystem {
  public:
    virtual ~WindowsDeviceSystem() = default;

    virtual HDEVINFO GetClassDevs(const GUID* cls, const wchar_t* enumerator, DWORD flags) = 0;
    virtual bool EnumDeviceInterfaces(HDEVINFO set, const GUID* cls, DWORD index,
                                      SP_DEVICE_INTERFACE_DATA& data) = 0;
    virtual bool GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data,
                                          SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail,
                                          DWORD detailSize, SP_DEVINFO_DATA* info) = 0;
    virtual bool EnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA& info) = 0;
    virtual bool GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property,
                                           BYTE* buffer, DWORD size) = 0;
    virtual bool GetDeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA& info, wchar_t* buffer,
                                     DWORD units) = 0;
    virtual bool DestroyDeviceInfoList(HDEVINFO set) = 0;

    virtual bool GetParent(DEVINST& parent, DEVINST node) = 0;
    virtual bool GetDeviceId(DEVINST node, wchar_t* buffer, ULONG units) = 0;
    virtual bool GetDevNodeRegistryProperty(DEVINST node, ULONG property, void* buffer,
                                            ULONG size) = 0;

    // The device at `path` opened for reading and writing, shared both ways; null when it
    // does not open.
    virtual std::unique_ptr<DeviceRequests> Open(std::u16string_view path) = 0;
};

// The system's own: the two libraries given by file name (normally "SetupApi.dll" and
// "cfgmgr32.dll"); a library that does not load makes every call of it fail.
std::shared_ptr<WindowsDeviceSystem> MakeWindowsDeviceSystem(
    const wchar_t* setupApiFile = L"SetupApi.dll", const wchar_t* cfgMgrFile = L"cfgmgr32.dll");

// A tree over the system's libraries given by file name.
std::shared_ptr<DeviceTree> MakeWindowsDeviceTree(const wchar_t* setupApiFile = L"SetupApi.dll",
                                                  const wchar_t* cfgMgrFile = L"cfgmgr32.dll");
// A tree asking `system`.
std::shared_ptr<DeviceTree> MakeWindowsDeviceTree(std::shared_ptr<WindowsDeviceSystem> system);

}  // namespace mox3
