// SHA-256 through the system's cryptographic provider; the built-in routine where the provider
// has none.
#include <windows.h>
// after windows.h, which it needs
#include <wincrypt.h>

#include "base/sha256.h"

// Systems before XP service pack 3 do not know this algorithm; their headers do not name it.
#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)
#endif

namespace mox3 {

namespace {

// One provider context for the process, acquired on first use.
class Provider {
  public:
    Provider() {
        if (!CryptAcquireContextW(&handle_, nullptr, nullptr, PROV_RSA_AES,
                                  CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
            handle_ = 0;
        }
    }
    ~Provider() {
        if (handle_ != 0) CryptReleaseContext(handle_, 0);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    HCRYPTPROV handle() const { return handle_; }

  private:
    HCRYPTPROV handle_ = 0;
};

std::optional<Sha256Digest> SystemSha256(std::span<const std::uint8_t> data) {
    static Provider provider;
    if (provider.handle() == 0) return std::nullopt;
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(provider.handle(), CALG_SHA_256, 0, 0, &hash)) return std::nullopt;
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < data.size()) {
        const DWORD chunk =
            static_cast<DWORD>(data.size() - done > 0x40000000u ? 0x40000000u : data.size() - done);
        ok = CryptHashData(hash, data.data() + done, chunk, 0) != 0;
        done += chunk;
    }
    Sha256Digest digest{};
    DWORD length = static_cast<DWORD>(digest.size());
    ok = ok && CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &length, 0) &&
         length == digest.size();
    CryptDestroyHash(hash);
    if (!ok) return std::nullopt;
    return digest;
}

}  // namespace

std::optional<Sha256Digest> Sha256(std::span<const std::uint8_t> data) {
    if (auto digest = SystemSha256(data)) return digest;
    return Sha256Builtin(data);
}

}  // namespace mox3
