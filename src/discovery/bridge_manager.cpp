#include "discovery/bridge_manager.h"

#include "base/number_parse.h"
#include "base/text.h"

#include <utility>

namespace mox3 {

CBridgeMgr::CBridgeMgr(DeviceAccess access, std::shared_ptr<Clock> waits)
    : scratchBuffer(kScratchBufferSize, 0),
      imageBuffer(kImageBufferSize, 0),
      clock(std::move(waits)),
      devices(std::move(access)),
      deviceTable(kDeviceSlots) {}

void CBridgeMgr::UseItemTable(ItemTableKind kind) {
    const std::span<const ConfigItem> items = ItemTable(kind);
    itemStorage.assign(items.begin(), items.end());
    itemTable = itemStorage.data();
    itemCount = static_cast<std::uint32_t>(itemStorage.size());
    itemKind = kind;
}

ItemValues CBridgeMgr::Items() const {
    if (itemTable == nullptr) return ItemValues();
    return ItemValues(std::span<const ConfigItem>(itemTable, itemCount));
}

const std::u16string* CBridgeMgr::FindItemValue(std::u16string_view section,
                                                std::u16string_view key) const {
    return Items().Find(section, key);
}

std::uint32_t CBridgeMgr::GetItemInt(std::u16string_view section, std::u16string_view key,
                                     std::uint32_t defaultValue) const {
    return Items().Int(section, key, defaultValue);
}

std::size_t CBridgeMgr::GetItemString(std::u16string_view section, std::u16string_view key,
                                      std::u16string_view defaultValue, std::u16string& out,
                                      std::size_t capacity) const {
    return Items().String(section, key, defaultValue, out, capacity);
}

std::size_t CBridgeMgr::ProbeItem(std::u16string_view section, std::u16string_view key) const {
    return Items().Probe(section, key);
}

}  // namespace mox3
