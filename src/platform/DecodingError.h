#pragma once

#include <string>

namespace kestrelamp {

// Why a stored JSON document could not be read; the description names the key and the problem.
struct DecodingError {
    std::string description;
};

} // namespace kestrelamp
