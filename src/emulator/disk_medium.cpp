#include "emulator/disk_medium.h"

#include <algorithm>
#include <fstream>

#include "base/sha256.h"
#include "base/text.h"

namespace mox3 {

namespace fs = std::filesystem;

namespace {

bool Fail(std::string* error, std::string why) {
    if (error) *error = std::move(why);
    return false;
}

}  // namespace

bool DiskMedium::Fits(std::uint64_t offset, std::uint64_t length, std::string* error) const {
    if (offset > size_ || length > size_ - offset) {
        return Fail(error, std::to_string(length) + " bytes at " + std::to_string(offset) +
                               " go beyond the end of the medium (" + std::to_string(size_) +
                               " bytes)");
    }
    return true;
}

bool DiskMedium::Create(std::string* error) const {
    return CreateSparseFile(file_, size_, error);
}

bool DiskMedium::Read(std::uint64_t offset, std::span<std::uint8_t> out, std::string* error) const {
    if (!Fits(offset, out.size(), error)) return false;
    std::fill(out.begin(), out.end(), 0);
    std::error_code ec;
    const std::uint64_t held = fs::exists(file_, ec) ? fs::file_size(file_, ec) : 0;
    if (ec) return Fail(error, "cannot read " + file_.string() + ": " + ec.message());
    if (offset >= held || out.empty()) return true;
    const std::uint64_t n = std::min<std::uint64_t>(out.size(), held - offset);
    std::ifstream in(file_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
    if (!in || in.gcount() != static_cast<std::streamsize>(n)) {
        return Fail(error, "cannot read " + file_.string());
    }
    return true;
}

bool DiskMedium::Write(std::uint64_t offset, std::span<const std::uint8_t> data,
                       std::string* error) const {
    if (!Fits(offset, data.size(), error)) return false;
    if (data.empty()) return true;
    std::error_code ec;
    if (!fs::exists(file_, ec) && !Create(error)) return false;
    std::fstream io(file_, std::ios::binary | std::ios::in | std::ios::out);
    if (io) {
        io.seekp(static_cast<std::streamoff>(offset));
        io.write(reinterpret_cast<const char*>(data.data()),
                 static_cast<std::streamsize>(data.size()));
        io.close();
    }
    if (!io) return Fail(error, "cannot write " + file_.string());
    return true;
}

std::optional<std::vector<MediumExtent>> DiskMedium::DataExtents(std::string* error) const {
    std::error_code ec;
    if (!fs::exists(file_, ec)) return std::vector<MediumExtent>{};
    return FileDataExtents(file_, size_, error);
}

std::optional<std::string> DiskMedium::Digest(std::string* error) const {
    auto extents = DataExtents(error);
    if (!extents) return std::nullopt;
    std::vector<std::uint8_t> digests;
    std::vector<std::uint8_t> chunk(8 + kMediumDigestChunk);
    std::uint64_t next = 0;  // chunks below this one are done
    for (const MediumExtent& e : *extents) {
        std::uint64_t at = std::max(next, e.offset / kMediumDigestChunk * kMediumDigestChunk);
        for (; at < e.offset + e.length; at += kMediumDigestChunk) {
            const std::uint64_t n = std::min(kMediumDigestChunk, size_ - at);
            std::span<std::uint8_t> body(chunk.data() + 8, static_cast<std::size_t>(n));
            if (!Read(at, body, error)) return std::nullopt;
            next = at + kMediumDigestChunk;
            if (std::all_of(body.begin(), body.end(), [](std::uint8_t b) { return b == 0; })) {
                continue;
            }
            for (int i = 0; i < 8; ++i) chunk[i] = static_cast<std::uint8_t>(at >> (56 - 8 * i));
            auto digest = Sha256(
                std::span<const std::uint8_t>(chunk.data(), 8 + static_cast<std::size_t>(n)));
            if (!digest) {
                Fail(error, "SHA-256 failed");
                return std::nullopt;
            }
            digests.insert(digests.end(), digest->begin(), digest->end());
        }
    }
    auto whole = Sha256(digests);
    if (!whole) {
        Fail(error, "SHA-256 failed");
        return std::nullopt;
    }
    return HexString(*whole, HexDigits::Lower);
}

}  // namespace mox3
