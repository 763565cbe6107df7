#include "app/Listing.h"

#include "engine/DeviceEnumerator.h"
#include "engine/ProcessEnumerator.h"

#include <nlohmann/json.hpp>

namespace kestrelamp {

using nlohmann::json;

namespace {

template <class T>
json arrayOf(const std::vector<T>& values) {
    json array = json::array();
    for (const T& value : values) {
        array.push_back(toJson(value));
    }
    return array;
}

} // namespace

std::string listingJson(ListingRequest request, AudioWorld& world) {
    const DeviceEnumerator devices(*world.hardware);
    switch (request) {
    case ListingRequest::apps:
        return arrayOf(
                   ProcessEnumerator(*world.hardware, *world.runningApplications).getAudioApps())
            .dump();
    case ListingRequest::devices:
        return arrayOf(devices.getAllDevices()).dump();
    case ListingRequest::outputDevices:
        return arrayOf(devices.getOutputDevices()).dump();
    case ListingRequest::defaultOutput: {
        const auto device = devices.getDefaultOutputDevice();
        return (device ? toJson(*device) : json(nullptr)).dump();
    }
    case ListingRequest::none:
        break;
    }
    return {};
}

} // namespace kestrelamp
