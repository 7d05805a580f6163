// Font files through fontconfig: the desktop's own answer to "which file is sans-serif bold".

#include <fontconfig/fontconfig.h>

#include <memory>
#include <system_error>

#include "platform/font_lookup.h"

namespace morvelin {
namespace {

struct PatternDeleter {
    void operator()(FcPattern* pattern) const { FcPatternDestroy(pattern); }
};
using Pattern = std::unique_ptr<FcPattern, PatternDeleter>;

}  // namespace

std::filesystem::path findFontFile(const char* pattern) {
    // The process-wide configuration, loaded once: scanning the fonts again per lookup would
    // cost tens of milliseconds at start-up.
    if (!FcInit())
        return {};
    Pattern wanted(FcNameParse(reinterpret_cast<const FcChar8*>(pattern)));
    if (!wanted)
        return {};
    FcConfigSubstitute(nullptr, wanted.get(), FcMatchPattern);
    FcDefaultSubstitute(wanted.get());
    FcResult result = FcResultNoMatch;
    Pattern match(FcFontMatch(nullptr, wanted.get(), &result));
    if (!match || result != FcResultMatch)
        return {};
    FcChar8* file = nullptr;
    if (FcPatternGetString(match.get(), FC_FILE, 0, &file) != FcResultMatch || !file)
        return {};
    std::filesystem::path path(reinterpret_cast<const char*>(file));
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return {};
    return path;
}

}  // namespace morvelin
