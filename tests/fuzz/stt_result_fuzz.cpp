// libFuzzer entry for the reader of the streaming service's result messages: whatever the
// service (or anything between it and us) sends must neither crash nor throw, and a delivered
// result is never an empty interim one.
#include "speech/stt_client_result.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto result = morvelin::parseSttResult(text);
    if (result && result->transcript.empty() && !result->isFinal)
        std::abort();
    return 0;
}
