// The steps of the second-generation compile, shared between its source files.
#pragma once

#include <cstdint>
#include <span>

#include "config/block_layout.h"
#include "config/compile_support.h"

namespace mox3::gen2 {

// Everything a step hands on to a later one.
struct CompileState {
    std::uint32_t raidOffset = 0;           // firmware parameter 0x65 when not 0
    std::optional<std::u16string> message;  // the dialog's text for a bad INQUIRY text
};

// Appends a record or records the failure when the list area is full.
bool AppendRecord(ItemReader& r, RecordWriter& list, std::u16string_view section, std::uint8_t tag,
                  std::span<const std::uint8_t> value);

// SCSI INQUIRY entries, RAID default, logical-unit tables and authentication.
bool CompileUnits(ItemReader& r, std::span<std::uint8_t> block, RecordWriter& list,
                  CompileState& state);
// GPIO, power, FET, fan, LED, button, standby and RAID records.
bool CompileInputsOutputs(ItemReader& r, RecordWriter& list);

}  // namespace mox3::gen2
