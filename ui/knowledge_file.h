#pragma once
// Reading a knowledge file (resume, job description, notes): plain text up to 512 KB, a UTF-8
// byte-order mark dropped, binary documents refused.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace morvelin {

inline constexpr std::size_t kKnowledgeFileLimit = 524288;  // 512 KB; exactly this passes

struct KnowledgeFileResult {
    std::optional<std::string> text;
    std::string error;  // when text is empty
};

KnowledgeFileResult readKnowledgeFile(const std::filesystem::path& path);

}  // namespace morvelin
