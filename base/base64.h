#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace morvelin {

// RFC 4648 base64, standard alphabet, "=" padding, no line breaks.
std::string base64Encode(std::span<const std::uint8_t> bytes);
std::string base64Encode(const void* data, std::size_t size);

}  // namespace morvelin
