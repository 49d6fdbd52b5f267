#include "transport/passthrough.h"

namespace mox3 {

std::vector<std::uint8_t> FixedSense(std::uint8_t senseKey, std::uint8_t asc, std::uint8_t ascq) {
    std::vector<std::uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = senseKey & 0x0F;
    sense[7] = 10;  // additional length
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

ScsiResult ResultOf(bool delivered, const ScsiReply& reply) {
    if (!delivered) return ScsiResult::kNotDelivered;
    // A response code of 0 is no sense at all; bit 0 of the status is reserved.
    if (!reply.sense.empty() && (reply.sense[0] & 0x7F) != 0) return ScsiResult::kSense;
    if ((reply.status & 0xFE) != kScsiStatusGood) return ScsiResult::kStatus;
    return ScsiResult::kGood;
}

}  // namespace mox3
