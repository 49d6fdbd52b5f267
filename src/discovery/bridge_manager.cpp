#include "discovery/bridge_manager.h"

#include "base/number_parse.h"
#include "base/text.h"

namespace mox3 {

CBridgeMgr::CBridgeMgr()
    : scratchBuffer(kScratchBufferSize, 0),
      imageBuffer(kImageBufferSize, 0),
      clock(SystemClock()),
      deviceTable(kDeviceSlots) {}

const std::u16string* CBridgeMgr::FindItemValue(std::u16string_view section,
                                                std::u16string_view key) const {
    if (itemTable == nullptr) return nullptr;
    for (std::uint32_t i = 0; i < itemCount; ++i) {
        const ConfigItem& item = itemTable[i];
        if (item.section == section && item.key == key && !item.value.empty()) return &item.value;
    }
    return nullptr;
}

std::uint32_t CBridgeMgr::GetItemInt(std::u16string_view section, std::u16string_view key,
                                     std::uint32_t defaultValue) const {
    const std::u16string* value = FindItemValue(section, key);
    if (value == nullptr) return defaultValue;
    // A value that does not begin with a number reads as the default.
    return ScanInt32(*value).value_or(defaultValue);
}

std::size_t CBridgeMgr::GetItemString(std::u16string_view section, std::u16string_view key,
                                      std::u16string_view defaultValue, std::u16string& out,
                                      std::size_t capacity) const {
    const std::u16string* value = FindItemValue(section, key);
    out.assign(CutToCapacity(value ? std::u16string_view(*value) : defaultValue, capacity));
    return out.size();
}

std::size_t CBridgeMgr::ProbeItem(std::u16string_view section, std::u16string_view key) const {
    std::u16string unused;
    return GetItemString(section, key, u"", unused, 2);
}

}  // namespace mox3
