// libFuzzer entry for the transcription service's reply: any status and body give either a
// text or an error text, never a crash or an exception.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "speech/transcription_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const long status = (data[0] | (data[1] << 8)) % 600;
    const std::string body(reinterpret_cast<const char*>(data + 2), size - 2);
    std::string text;
    const std::string error = morvelin::interpretTranscriptionResponse(status, body, text);
    // A failure carries a reason; a success carries no reason.
    if (status >= 300 && error.empty())
        std::abort();
    return 0;
}
