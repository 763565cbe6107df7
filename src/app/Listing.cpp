#include "app/Listing.h"

#include "engine/DeviceEnumerator.h"
#include "engine/ProcessEnumerator.h"
#include "model/AudioModel.h"
#include "platform/JsonText.h"

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
        return jsonText(
            arrayOf(ProcessEnumerator(*world.hardware, *world.runningApplications).getAudioApps()));
    case ListingRequest::devices:
        return jsonText(arrayOf(devices.getAllDevices()));
    case ListingRequest::outputDevices:
        return jsonText(arrayOf(devices.getOutputDevices()));
    case ListingRequest::defaultOutput: {
        const auto device = devices.getDefaultOutputDevice();
        return jsonText(device ? toJson(*device) : json(nullptr));
    }
    case ListingRequest::none:
        break;
    }
    return {};
}

} // namespace kestrelamp
