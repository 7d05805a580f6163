#pragma once
// The one way a JSON value becomes text on the wire or in an error: compact, members in the
// value's own order, raw UTF-8. Texts from settings and services can hold anything, so an
// invalid UTF-8 sequence becomes U+FFFD instead of an exception. A template on the JSON type
// (nlohmann::json) so that this layer needs no JSON library.

#include <string>

namespace morvelin {

template <typename Json>
std::string compactJson(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace morvelin
