#pragma once

#include "app/AudioWorld.h"
#include "app/CommandLine.h"

#include <string>

namespace kestrelamp {

// The JSON text a listing option prints.
std::string listingJson(ListingRequest request, AudioWorld& world);

} // namespace kestrelamp
