#pragma once
// Text the tests take apart: what a service was sent in base64, how often a log says a line.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace halvenor::test {

// The bytes of standard base64 text, up to its padding (or the first character outside the
// alphabet).
std::vector<std::uint8_t> decodeBase64(std::string_view text);

// How often the needle occurs in the text, overlapping occurrences included.
std::size_t countOf(std::string_view text, std::string_view needle);

}  // namespace halvenor::test
