#include "config/compile_input.h"

#include "base/number_parse.h"
#include "base/text.h"

namespace mox3 {

const ConfigItem* ItemValues::FindItem(std::u16string_view section,
                                       std::u16string_view key) const {
    for (const ConfigItem& item : items_) {
        if (item.section == section && item.key == key && !item.value.empty()) return &item;
    }
    return nullptr;
}

const std::u16string* ItemValues::Find(std::u16string_view section, std::u16string_view key) const {
    const ConfigItem* item = FindItem(section, key);
    return item ? &item->value : nullptr;
}

std::uint32_t ItemValues::Int(std::u16string_view section, std::u16string_view key,
                              std::uint32_t defaultValue) const {
    const std::u16string* value = Find(section, key);
    if (value == nullptr) return defaultValue;
    return ScanInt32(*value).value_or(defaultValue);
}

std::size_t ItemValues::String(std::u16string_view section, std::u16string_view key,
                               std::u16string_view defaultValue, std::u16string& out,
                               std::size_t capacity) const {
    const std::u16string* value = Find(section, key);
    out.assign(CutToCapacity(value ? std::u16string_view(*value) : defaultValue, capacity));
    return out.size();
}

std::size_t ItemValues::Probe(std::u16string_view section, std::u16string_view key) const {
    std::u16string unused;
    return String(section, key, u"", unused, 2);
}

}  // namespace mox3
