// libFuzzer entry for the answer client's event-stream reading: any bytes a service, proxy or
// gateway sends are cut into lines and parsed, and any error body is turned into a text,
// without crashing, throwing or hanging.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "llm/stream_context.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= input.size()) {
        const std::size_t end = input.find('\n', start);
        const std::size_t stop = end == std::string_view::npos ? input.size() : end;
        const auto event = morvelin::parseSseLine(input.substr(start, stop - start));
        if (event.kind == morvelin::SseLineEvent::Kind::Token && event.text.empty())
            __builtin_trap();  // a token is never empty
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    (void)morvelin::errorTextFromBody(std::string(input));
    return 0;
}
