#pragma once
// Finds an installed font file by a fontconfig pattern ("sans-serif", "sans-serif:bold",
// "monospace").

#include <filesystem>

namespace morvelin {

// The best match's file when it exists on disk; empty when there is none.
std::filesystem::path findFontFile(const char* pattern);

}  // namespace morvelin
