// Between the walk over a configuration block and the decoders of its records: the byte and
// text readers both use, and the decoding of the record list once it has been split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/bytes.h"
#include "config/decoded_block.h"

namespace mox3::decode {

using Bytes = std::span<const std::uint8_t>;

// Bytes [offset, offset+size) of `bytes`, cut to what exists.
Bytes Slice(Bytes bytes, std::size_t offset, std::size_t size);
std::string Format(const char* format, unsigned long long a, unsigned long long b = 0,
                   unsigned long long c = 0);
// ANSI (Windows-1252) bytes up to the first 0, as UTF-8.
std::string AnsiText(Bytes bytes);
// One INQUIRY text entry (vendor, product, revision); unused when it holds only `filler` or 0.
InquiryEntry DecodeInquiryTexts(Bytes texts, std::uint32_t offset, std::uint8_t filler);

// Decodes every known, whole record of `list` into its readings; first-generation INQUIRY
// answers also go to out.inquiry.
void DecodeRecords(int generation, TlvList& list, DecodedBlock& out);

}  // namespace mox3::decode
