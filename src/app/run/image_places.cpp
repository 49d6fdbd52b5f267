// What a run finds where it looks for an image, in words a message can carry.
#include <system_error>

#include "app/run/host.h"
#include "bridge/firmware_image.h"

namespace mox3 {

ImagePlace InspectImagePlace(const std::filesystem::path& path, int chipKind) {
    ImagePlace place;
    place.path = path.u16string();
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) {
        // A folder on the way that cannot be searched is not the same as nothing there.
        const bool absent =
            !ec || ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
        place.finding = absent ? "missing" : "cannot be looked at: " + ec.message();
        return place;
    }
    if (std::filesystem::is_directory(status)) {
        place.finding = "a folder";
        return place;
    }
    if (!std::filesystem::is_regular_file(status)) {
        place.finding = "not a regular file";
        return place;
    }
    FirmwareImage image = FirmwareImage::Read(path);
    image.RequireGeneration(chipKind);
    switch (image.fault()) {
        case ImageFault::None:
            place.finding = "a sound image";
            place.usable = true;
            break;
        case ImageFault::Unreadable:
            place.finding = "unreadable: " + image.problem();
            break;
        case ImageFault::Generation:
            place.finding = "for the other generation: " + image.problem();
            break;
        default:
            place.finding = "damaged: " + image.problem();
            break;
    }
    return place;
}

}  // namespace mox3
