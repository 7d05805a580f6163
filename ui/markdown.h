#pragma once
// Markdown-lite for the streamed answer: fenced code blocks, bullets, headings and bold lines,
// with inline markers removed. The answer arrives cut anywhere, so an unclosed fence simply
// renders the rest as code. Classification is pure; renderMarkdown only draws its result.

#include <string>
#include <string_view>
#include <vector>

struct ImFont;

namespace morvelin {

enum class MarkdownLineKind {
    FenceOpen,   // a ``` line entering a code block: spacing, nothing drawn
    FenceClose,  // a ``` line leaving it: nothing drawn
    Code,        // inside a block: the untrimmed line, mono, unwrapped
    Gap,         // the first blank line after text: a small vertical gap
    Blank,       // a further (or leading) blank line: nothing
    Bullet,      // "- ", "* " or "• ": a bullet and the rest
    Heading,     // '#'s removed: drawn bold, then a small gap
    BoldLine,    // starts with "**": drawn bold, then a small gap
    Plain,
};

struct MarkdownLine {
    MarkdownLineKind kind = MarkdownLineKind::Plain;
    std::string text;  // what to draw: markers and inline markup removed (raw for Code)

    bool operator==(const MarkdownLine&) const = default;
};

// Carried from one line to the next.
struct MarkdownState {
    bool inCode = false;
    bool lastBlank = true;  // true at the start, so leading blank lines give no gap
};

// Classifies one line (without its '\n'; a trailing '\r' is the caller's to remove).
MarkdownLine classifyMarkdownLine(std::string_view line, MarkdownState& state);

// Splits at '\n' (dropping one trailing '\r' per line; a final '\n' yields a last empty line)
// and classifies every line in order.
std::vector<MarkdownLine> classifyMarkdown(std::string_view text);

// Every byte except backquotes and each "**" pair, scanned left to right ("***" leaves "*").
std::string stripInlineMarkdown(std::string_view text);

// Draws the text at the current cursor with the current wrap position; a null font means the
// current one.
void renderMarkdown(std::string_view text, ImFont* bold, ImFont* mono);

}  // namespace morvelin
