#include "platform/fatal_error.h"

#include <cstdio>

#include <SDL.h>

#include "base/session_log.h"

namespace morvelin {

void showFatalError(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    log("{}", text);
    SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, "Halvenor", text.c_str(), nullptr);
}

}  // namespace morvelin
