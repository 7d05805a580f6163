// OpenGL 3 through SDL2 in place of a Direct3D device and swap chain. The context asks for
// reset notification so a lost GPU shows up in glGetGraphicsResetStatus after a swap; the
// context is never re-created. Software GL under Xvfb refuses vsync and would run at
// hundreds of frames a second, so present() paces the loop itself when swaps come back early.

#include "platform/render_device.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <string_view>
#include <thread>

#include <SDL.h>
#include <SDL_opengl.h>
#include <imgui_impl_opengl3.h>
#include <imgui_impl_sdl.h>

#include "base/error_text.h"
#include "platform/overlay_window.h"

namespace morvelin {
namespace {

#ifndef GL_GUILTY_CONTEXT_RESET
#define GL_GUILTY_CONTEXT_RESET 0x8253
#define GL_INNOCENT_CONTEXT_RESET 0x8254
#define GL_UNKNOWN_CONTEXT_RESET 0x8255
#endif

// Dear ImGui numbers the buttons left, right, middle; SDL left, middle, right.
constexpr Uint8 kSdlButtons[] = {SDL_BUTTON_LEFT, SDL_BUTTON_RIGHT, SDL_BUTTON_MIDDLE};

Uint8 sdlButton(std::size_t imguiIndex) {
    return kSdlButtons[imguiIndex];
}

// -1 for the buttons Dear ImGui does not know.
int imguiButton(Uint8 sdlButtonNumber) {
    const auto* found = std::find(std::begin(kSdlButtons), std::end(kSdlButtons), sdlButtonNumber);
    return found == std::end(kSdlButtons) ? -1 : static_cast<int>(found - std::begin(kSdlButtons));
}

const char* resetText(unsigned int status) {
    switch (status) {
        case GL_GUILTY_CONTEXT_RESET:
            return "the GPU was reset by this context";
        case GL_INNOCENT_CONTEXT_RESET:
            return "the GPU was reset by another context";
        case GL_UNKNOWN_CONTEXT_RESET:
            return "the GPU was reset";
        default:
            return "";
    }
}

void* createContext(SDL_Window* window, bool robust) {
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 3);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 0);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_FLAGS, robust ? SDL_GL_CONTEXT_ROBUST_ACCESS_FLAG : 0);
    SDL_GL_SetAttribute(
        SDL_GL_CONTEXT_RESET_NOTIFICATION,
        robust ? SDL_GL_CONTEXT_RESET_LOSE_CONTEXT : SDL_GL_CONTEXT_RESET_NO_NOTIFICATION);
    return SDL_GL_CreateContext(window);
}

}  // namespace

RenderDevice::Texture::~Texture() {
    if (name_)
        glDeleteTextures(1, &name_);
}

RenderDevice::Texture& RenderDevice::Texture::operator=(Texture&& other) noexcept {
    if (this != &other) {
        if (name_)
            glDeleteTextures(1, &name_);
        name_ = other.name_;
        other.name_ = 0;
    }
    return *this;
}

std::string RenderDevice::create(OverlayWindow& window) {
    overlay_ = &window;
    window_ = window.sdlWindow();
    if (!window_)
        return describeFailure("SDL_GL_CreateContext", "no window");
    // Drivers without robustness refuse the first request; they still render, just
    // without a way to report a lost device.
    bool robust = true;
    context_ = createContext(window_, true);
    if (!context_) {
        robust = false;
        context_ = createContext(window_, false);
    }
    if (!context_)
        return describeFailure("SDL_GL_CreateContext", SDL_GetError());
    if (SDL_GL_MakeCurrent(window_, context_) != 0)
        return describeFailure("SDL_GL_MakeCurrent", SDL_GetError());
    SDL_GL_SetSwapInterval(1);
    if (robust) {
        resetStatus_ = reinterpret_cast<ResetStatusFunction>(
            SDL_GL_GetProcAddress("glGetGraphicsResetStatus"));
        if (!resetStatus_)
            resetStatus_ = reinterpret_cast<ResetStatusFunction>(
                SDL_GL_GetProcAddress("glGetGraphicsResetStatusARB"));
    }
    SDL_DisplayMode mode{};
    const int display = std::max(SDL_GetWindowDisplayIndex(window_), 0);
    if (SDL_GetCurrentDisplayMode(display, &mode) == 0 && mode.refresh_rate > 0)
        framePeriod_ = std::chrono::nanoseconds(1'000'000'000 / mode.refresh_rate);
    return {};
}

bool RenderDevice::initImGuiBackends() {
    sdlBackend_ = ImGui_ImplSDL2_InitForOpenGL(window_, context_);
    if (!sdlBackend_)
        return false;
    glBackend_ = ImGui_ImplOpenGL3_Init("#version 130");
    if (!glBackend_) {
        ImGui_ImplSDL2_Shutdown();
        sdlBackend_ = false;
    }
    return glBackend_;
}

void RenderDevice::shutdownImGuiBackends() {
    if (glBackend_)
        ImGui_ImplOpenGL3_Shutdown();
    if (sdlBackend_)
        ImGui_ImplSDL2_Shutdown();
    glBackend_ = sdlBackend_ = false;
}

void RenderDevice::processEvent(const SDL_Event& event) {
    if (sdlBackend_)
        ImGui_ImplSDL2_ProcessEvent(&event);
    if (sdlBackend_ && (event.type == SDL_KEYDOWN || event.type == SDL_KEYUP)) {
        // The backend takes the modifiers from SDL's current state, which already holds every
        // event queued so far; a frame that got only the first keys of Ctrl+A (the rest wait
        // for the next frame) must see Ctrl as it was when A went down.
        ImGuiIO& io = ImGui::GetIO();
        const Uint16 mod = event.key.keysym.mod;
        io.KeyShift = (mod & KMOD_SHIFT) != 0;
        io.KeyCtrl = (mod & KMOD_CTRL) != 0;
        io.KeyAlt = (mod & KMOD_ALT) != 0;
        io.KeySuper = (mod & KMOD_GUI) != 0;
    }
    if (event.type == SDL_MOUSEBUTTONDOWN || event.type == SDL_MOUSEBUTTONUP) {
        if (const int index = imguiButton(event.button.button); index >= 0) {
            const bool down = event.type == SDL_MOUSEBUTTONDOWN;
            buttonsHeld_.set(static_cast<std::size_t>(index), down);
            if (down) {
                buttonsPressed_.set(static_cast<std::size_t>(index));
                pressedAt_ =
                    ImVec2(static_cast<float>(event.button.x), static_cast<float>(event.button.y));
            }
        }
    }
    if (event.type == SDL_WINDOWEVENT) {
        switch (event.window.event) {
            case SDL_WINDOWEVENT_EXPOSED:
            case SDL_WINDOWEVENT_SHOWN:
            case SDL_WINDOWEVENT_RESTORED:
            case SDL_WINDOWEVENT_SIZE_CHANGED:
                mustPresent_ = true;
                break;
            default:
                break;
        }
    }
}

void RenderDevice::newFrame() {
    ImGui_ImplOpenGL3_NewFrame();
    ImGui_ImplSDL2_NewFrame();
    // The SDL backend reads the pointer from SDL's cached global position, which stops
    // following the pointer after the HUD hands the keyboard focus back; Dear ImGui would then
    // see the pointer where the last click was and take the next click for a click there.
    // While no button is held (a drag keeps the backend's reading), ask the X server.
    ImGuiIO& io = ImGui::GetIO();
    // The backend also reads SDL's button state, which already holds a press still queued for
    // the next frame (the frame that first sees the pointer on a tab must not see the press).
    // A frame has the buttons its own events left down; a press and its release in one frame
    // still count as one click. A release SDL noticed without an event ends a hold.
    const Uint32 sdlButtons = SDL_GetMouseState(nullptr, nullptr);
    for (std::size_t i = 0; i < buttonsHeld_.size(); ++i) {
        if (!(sdlButtons & SDL_BUTTON(sdlButton(i))))
            buttonsHeld_.reset(i);
        io.MouseDown[i] = buttonsPressed_.test(i) || buttonsHeld_.test(i);
    }
    // The frame that sees a press sees it where it happened: SDL's position already holds the
    // motion queued after it, and a drag that starts there would lose its first steps.
    if (buttonsPressed_.any())
        io.MousePos = pressedAt_;
    buttonsPressed_.reset();
    if (overlay_ && !ImGui::IsAnyMouseDown()) {
        const auto pointer = overlay_->pointerInWindow();
        io.MousePos = pointer
                          ? ImVec2(static_cast<float>(pointer->x), static_cast<float>(pointer->y))
                          : ImVec2(-FLT_MAX, -FLT_MAX);
    }
}

void RenderDevice::resize(std::uint32_t width, std::uint32_t height) {
    if (width == 0 || height == 0)
        return;
    glViewport(0, 0, static_cast<GLsizei>(width), static_cast<GLsizei>(height));
    mustPresent_ = true;
}

std::uint64_t RenderDevice::drawDataHash(const ImDrawData* data, const ImVec4& clearColour) {
    const auto bytes = [](const void* p, std::size_t n) {
        return std::hash<std::string_view>{}(std::string_view(static_cast<const char*>(p), n));
    };
    std::uint64_t hash = bytes(&clearColour, sizeof clearColour);
    const auto mix = [&hash](std::uint64_t value) {
        hash ^= value + 0x9E3779B97F4A7C15ull + (hash << 6) + (hash >> 2);
    };
    if (!data)
        return hash;
    mix(bytes(&data->DisplayPos, sizeof data->DisplayPos));
    mix(bytes(&data->DisplaySize, sizeof data->DisplaySize));
    for (int i = 0; i < data->CmdListsCount; ++i) {
        const ImDrawList* list = data->CmdLists[i];
        mix(bytes(list->VtxBuffer.Data, static_cast<std::size_t>(list->VtxBuffer.size_in_bytes())));
        mix(bytes(list->IdxBuffer.Data, static_cast<std::size_t>(list->IdxBuffer.size_in_bytes())));
        for (const ImDrawCmd& cmd : list->CmdBuffer) {
            mix(bytes(&cmd.ClipRect, sizeof cmd.ClipRect));
            mix(reinterpret_cast<std::uintptr_t>(cmd.TextureId));
            mix(cmd.VtxOffset);
            mix(cmd.IdxOffset);
            mix(cmd.ElemCount);
        }
    }
    return hash;
}

void RenderDevice::render(const ImVec4& clearColour) {
    // The software rasteriser pays for every pixel of every frame, and an idle HUD draws the
    // same frame 60 times a second: a frame identical to the one on screen is not drawn again.
    const std::uint64_t hash = drawDataHash(ImGui::GetDrawData(), clearColour);
    skipPresent_ = !mustPresent_ && hash == shownHash_;
    if (skipPresent_)
        return;
    shownHash_ = hash;
    mustPresent_ = false;
    glClearColor(clearColour.x, clearColour.y, clearColour.z, clearColour.w);
    glClear(GL_COLOR_BUFFER_BIT);
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
}

std::string RenderDevice::present() {
    if (skipPresent_) {
        // Nothing new to show: keep the loop at the display rate all the same.
        lastPresent_ =
            std::max(lastPresent_ + framePeriod_, std::chrono::steady_clock::now() - framePeriod_);
        std::this_thread::sleep_until(lastPresent_);
        return {};
    }
    SDL_GL_SwapWindow(window_);
    if (resetStatus_) {
        const unsigned int status = resetStatus_();
        if (status != GL_NO_ERROR)
            return describeFailure("Present (GPU device lost)",
                                   formatErrorCode(status, resetText(status)));
    }
    // A swap that waited for the vertical blank comes back about one period after the last;
    // one that came back much earlier did not wait, so the rest of the period is slept here.
    auto now = std::chrono::steady_clock::now();
    const auto due = lastPresent_ + framePeriod_;
    if (now < lastPresent_ + framePeriod_ * 3 / 4) {
        std::this_thread::sleep_until(due);
        now = std::chrono::steady_clock::now();
    }
    lastPresent_ = now;
    return {};
}

RenderDevice::Texture RenderDevice::createTexture(const std::vector<std::uint8_t>& bgra, int width,
                                                  int height) {
    if (!context_ || width <= 0 || height <= 0 ||
        bgra.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4)
        return {};
    while (glGetError() != GL_NO_ERROR) {
    }
    GLuint name = 0;
    glGenTextures(1, &name);
    if (name == 0)
        return {};
    Texture texture(name);
    GLint previous = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &previous);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_BGRA, GL_UNSIGNED_BYTE,
                 bgra.data());
    const bool ok = glGetError() == GL_NO_ERROR;
    glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(previous));
    if (!ok)
        return {};
    return texture;
}

void RenderDevice::release() {
    if (context_) {
        SDL_GL_MakeCurrent(window_, nullptr);
        SDL_GL_DeleteContext(context_);
        context_ = nullptr;
    }
    resetStatus_ = nullptr;
}

}  // namespace morvelin
