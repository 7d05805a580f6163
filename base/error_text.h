#pragma once
// One wording for every failure of a system or library call: "{step} failed (0x{code:08X}: {text})".
// The code is errno or the failing library's own code; the text is that library's message.

#include <cstdint>
#include <string>
#include <string_view>

namespace morvelin {

// Strips trailing '\r', '\n', ' ' and '.'; "unknown error" when nothing is left.
std::string trimSystemText(std::string_view text);

// "0x{:08X}: {}" with the code as an unsigned 32-bit value and the trimmed text.
std::string formatErrorCode(std::uint32_t code, std::string_view systemText);

// formatErrorCode of an errno value and its strerror text.
std::string formatErrno(int error);

// "{} failed ({})" with the step name and the detail (usually a formatErrorCode text).
std::string describeFailure(std::string_view step, std::string_view detail);

// describeFailure of the step and formatErrno of the error.
std::string describeErrno(std::string_view step, int error);

// describeErrno of the step and the calling thread's current errno.
std::string lastErrorMessage(std::string_view step);

}  // namespace morvelin
