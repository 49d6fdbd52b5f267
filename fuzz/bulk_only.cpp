// The Bulk-Only Transport as a host (or a broken one) drives it: the input is a list of
// operations on the endpoints, each taking what it needs from the bytes that follow it:
//   0  a transfer on the bulk OUT endpoint of the next byte's count of bytes
//   1  a transfer on the bulk IN endpoint of at most the next two bytes' length
//   2  the class reset          3  clearing a halt, IN when the next byte is odd
//   4+ a well-formed command block wrapper made from the next bytes
// The device behind answers by the command's bytes: the first one's low bits pick the status
// (good, check condition, or not delivered), the second scales how much data moves.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "emulator/bulk_only.h"
#include "fuzz_support.h"

namespace {

using namespace mox3;

class ScriptedDevice : public PassThroughDevice {
  public:
    bool Send(const ScsiRequest& request, ScsiReply& reply) override {
        if (request.cdbLength < 1 || request.cdbLength > 16) fuzz::Broken("a CDB of bad length");
        const std::uint8_t op = request.cdb[0];
        if ((op & 3) == 3) return false;
        const std::uint32_t wanted = request.cdb[1] * 97u;
        reply.transferred = std::min(request.length, wanted);
        if (request.direction == DataDirection::In) {
            std::fill_n(request.data, reply.transferred, op);
        } else if (request.direction == DataDirection::Out) {
            volatile std::uint32_t sum = 0;
            for (std::uint32_t i = 0; i < request.length; ++i) sum = sum + request.data[i];
        } else if (request.length != 0) {
            fuzz::Broken("data without a direction");
        }
        if ((op & 3) == 1) {
            reply.status = kScsiStatusCheckCondition;
            reply.sense = FixedSense(kSenseIllegalRequest, kAscInvalidOpcode, op);
        }
        return true;
    }
    std::u16string Name() const override { return u"scripted"; }
};

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}
    bool empty() const { return at_ >= bytes_.size(); }
    std::uint8_t Byte() { return empty() ? 0 : bytes_[at_++]; }
    std::span<const std::uint8_t> Take(std::size_t n) {
        n = std::min(n, bytes_.size() - at_);
        auto out = bytes_.subspan(at_, n);
        at_ += n;
        return out;
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    ScriptedDevice device;
    BulkOnlyTransport bot(&device, (in.Byte() & 1) != 0 ? 64 : 512);
    while (!in.empty()) {
        const std::uint8_t op = in.Byte();
        if (op == 0) {
            bot.Out(in.Take(in.Byte()));
        } else if (op == 1) {
            const std::uint32_t length = in.Byte() | in.Byte() << 8;
            BulkOnlyTransport::InResult r = bot.In(length);
            if (r.data.size() > length) fuzz::Broken("more IN data than the host asked for");
            if (r.stall && !r.data.empty()) fuzz::Broken("data with a stall");
        } else if (op == 2) {
            bot.Reset();
        } else if (op == 3) {
            bot.ClearHalt((in.Byte() & 1) != 0);
        } else {
            std::vector<std::uint8_t> cbw(kCbwSize, 0);
            for (int i = 0; i < 4; ++i) cbw[i] = static_cast<std::uint8_t>(kCbwSignature >> 8 * i);
            cbw[4] = in.Byte();                 // tag
            cbw[8] = in.Byte();                 // data length, up to 64 KiB
            cbw[9] = in.Byte();
            cbw[12] = in.Byte() & 0x80;         // direction
            cbw[14] = 1 + in.Byte() % 16;       // command length
            auto cdb = in.Take(cbw[14]);
            std::copy(cdb.begin(), cdb.end(), cbw.begin() + 15);
            bot.Out(cbw);
        }
    }
    return 0;
}
