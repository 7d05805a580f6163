#include "ui/knowledge_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

#include <fmt/format.h>

namespace morvelin {

KnowledgeFileResult readKnowledgeFile(const std::filesystem::path& path) {
    KnowledgeFileResult result;
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        result.error = fmt::format("Cannot read file: {}", ec.message());
        return result;
    }
    if (size > kKnowledgeFileLimit) {
        result.error =
            fmt::format("File is {} KB; the limit is {} KB. Paste the relevant part instead.",
                        size / 1024, kKnowledgeFileLimit / 1024);
        return result;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        result.error = "Cannot open file";
        return result;
    }
    // The file may have grown since its size was taken: read one byte past the limit at most,
    // so a file that is now too big is refused instead of read whole.
    std::string bytes(kKnowledgeFileLimit + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > kKnowledgeFileLimit) {
        std::error_code sizeError;
        const std::uintmax_t now = std::filesystem::file_size(path, sizeError);
        const std::uintmax_t shown = sizeError ? bytes.size() : now;
        result.error =
            fmt::format("File is {} KB; the limit is {} KB. Paste the relevant part instead.",
                        shown / 1024, kKnowledgeFileLimit / 1024);
        return result;
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    if (bytes.find('\0') != std::string::npos) {
        result.error = "This looks like a binary file (PDF/DOCX?). Paste its text instead.";
        return result;
    }
    result.text = std::move(bytes);
    return result;
}

}  // namespace morvelin
