// GetTickCount64 for programs that must start on Windows XP, whose kernel32.dll lacks it.
//
// The static POSIX-threads library of mingw-w64 calls GetTickCount64 for its timed waits, so
// every program linked with it imports the function, and the loader of Windows XP refuses to
// start a program with an import it cannot resolve. This file defines the import slot that the
// library's calls go through (the pointer `__imp_GetTickCount64`, on 32-bit x86
// `__imp__GetTickCount64@0`) itself; the linker then takes it from here and no longer asks
// kernel32.dll for the function. The slot points at TickCount64 below: the system's
// GetTickCount64 where kernel32.dll has one, otherwise GetTickCount's 32-bit count widened to
// 64 bits (which starts at the system's count at the first call and wraps only after 2^64 ms;
// the callers measure spans of time with it).
//
// It must reach the link as an object file, not from a static library: the threads library
// comes late on the command line, after the point where the linker would look for it.
#include <windows.h>

#include "platform/shims/tick_count64.h"

namespace mox3 {

std::uint64_t WidenTickCount(std::atomic<std::uint64_t>& last, std::uint32_t (*read)()) {
    // Lock-free, because the threads library asks for the time while it implements the locks:
    // the last reading and its high half live in one 64-bit word, replaced only by a reading
    // taken after it.
    std::uint64_t seen = last.load();
    for (;;) {
        const std::uint32_t now = read();
        std::uint64_t high = seen & 0xFFFF'FFFF'0000'0000ULL;
        if (now < static_cast<std::uint32_t>(seen)) high += 0x1'0000'0000ULL;
        const std::uint64_t value = high | now;
        // Fails, and reads again, when another thread replaced the word since `seen`.
        if (last.compare_exchange_weak(seen, value)) return value;
    }
}

}  // namespace mox3

namespace {

using TickCountFn = ULONGLONG(WINAPI*)();

std::uint32_t ReadTickCount() {
    return GetTickCount();
}

ULONGLONG WINAPI WidenedTickCount() {
    static std::atomic<std::uint64_t> last{0};
    return mox3::WidenTickCount(last, &ReadTickCount);
}

// The system's function, looked up on first use (kernel32.dll is always loaded);
// WidenedTickCount where it has none. No function-local static with a guard: the guard would
// wait through the threads library, which may be asking for the time.
ULONGLONG WINAPI TickCount64() {
    static std::atomic<TickCountFn> resolved{nullptr};
    TickCountFn fn = resolved.load(std::memory_order_acquire);
    if (fn == nullptr) {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        FARPROC entry = kernel ? GetProcAddress(kernel, "GetTickCount64") : nullptr;
        fn = entry ? reinterpret_cast<TickCountFn>(reinterpret_cast<void (*)()>(entry))
                   : &WidenedTickCount;
        resolved.store(fn, std::memory_order_release);
    }
    return fn();
}

}  // namespace

#if defined(__i386__)
#define MOX3_TICK_COUNT64_SLOT "__imp__GetTickCount64@0"
#else
#define MOX3_TICK_COUNT64_SLOT "__imp_GetTickCount64"
#endif

// The import slot, under the exact name the callers' object files refer to.
extern "C" {
extern const TickCountFn mox3_tick_count64_slot __asm__(MOX3_TICK_COUNT64_SLOT);
__attribute__((used)) const TickCountFn mox3_tick_count64_slot = &TickCount64;
}
