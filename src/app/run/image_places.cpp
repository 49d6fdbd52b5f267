// What a run finds where it looks for an image.
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
        place.finding = absent ? Tell(Finding::kPlaceMissing)
                               : Tell(Finding::kPlaceUnreachable, {ec.message()});
        return place;
    }
    if (std::filesystem::is_directory(status)) {
        place.finding = Tell(Finding::kPlaceFolder);
        return place;
    }
    if (!std::filesystem::is_regular_file(status)) {
        place.finding = Tell(Finding::kPlaceNotRegular);
        return place;
    }
    FirmwareImage image = FirmwareImage::Read(path);
    image.RequireGeneration(chipKind);
    switch (image.fault()) {
        case ImageFault::None:
            place.finding = Tell(Finding::kPlaceSound);
            place.usable = true;
            break;
        case ImageFault::Unreadable:
            place.finding = Tell(Finding::kPlaceUnreadable, {}, {image.problemFound()});
            break;
        case ImageFault::Generation:
            place.finding = Tell(Finding::kPlaceOtherGeneration, {}, {image.problemFound()});
            break;
        default:
            place.finding = Tell(Finding::kPlaceDamaged, {}, {image.problemFound()});
            break;
    }
    return place;
}

}  // namespace mox3
