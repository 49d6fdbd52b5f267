// The steps of the second-generation compile, shared between its source files.
#pragma once

#include <cstdint>
#include <span>

#include "config/compile_support.h"

namespace mox3::gen2 {

inline constexpr std::size_t kListStart = 128;
inline constexpr std::size_t kListEnd = 1792;  // the descriptor areas follow
inline constexpr std::size_t kInquiryEntries = 3584;
inline constexpr std::size_t kInquiryEntrySize = 28;
inline constexpr std::size_t kInquiryEntryCount = 5;
inline constexpr std::size_t kDeleteKeyField = 92;
inline constexpr std::size_t kParameterArea = 3840;

// Everything a step hands on to a later one.
struct CompileState {
    std::uint32_t raidOffset = 0;  // firmware parameter 0x65 when not 0
};

// Appends a record or records the failure when the list area is full.
bool AppendRecord(ItemReader& r, TlvList& list, std::u16string_view section, std::uint8_t tag,
                  std::span<const std::uint8_t> value);

// SCSI INQUIRY entries, RAID default, logical-unit tables and authentication.
bool CompileUnits(ItemReader& r, std::span<std::uint8_t> block, TlvList& list, CompileState& state);
// GPIO, power, FET, fan, LED, button, standby and RAID records.
bool CompileInputsOutputs(ItemReader& r, TlvList& list);

}  // namespace mox3::gen2
