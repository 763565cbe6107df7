#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace kestrelamp {

// Compact JSON text, as every output of the program writes it. Text is made valid UTF-8 where
// it enters the program; should a string slip through anyway, its bad bytes come out as U+FFFD
// instead of the encoder throwing and the program aborting.
inline std::string jsonText(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace kestrelamp
