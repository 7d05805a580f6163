// libFuzzer entry for the answer's markdown classifier: any streamed text, cut anywhere, is
// classified line by line without crashing, and drawn texts never keep inline markers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ui/markdown.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const morvelin::MarkdownLine& line : morvelin::classifyMarkdown(text)) {
        const bool stripped = line.kind == morvelin::MarkdownLineKind::Bullet ||
                              line.kind == morvelin::MarkdownLineKind::Heading ||
                              line.kind == morvelin::MarkdownLineKind::BoldLine ||
                              line.kind == morvelin::MarkdownLineKind::Plain;
        if (stripped &&
            (line.text.find('`') != std::string::npos || line.text.find('\n') != std::string::npos))
            std::abort();
    }
    return 0;
}
