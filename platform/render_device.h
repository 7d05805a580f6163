#pragma once
// What the frame loop draws with: an OpenGL 3 context on the HUD window, the Dear ImGui SDL2
// and OpenGL3 backends, thumbnail textures, and presentation at the display's refresh rate.

#include <bitset>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <imgui.h>

struct SDL_Window;
union SDL_Event;

namespace morvelin {

class OverlayWindow;

class RenderDevice {
public:
    // A GL texture owned by its object; empty when it could not be made.
    class Texture {
    public:
        Texture() = default;
        explicit Texture(unsigned int name) : name_(name) {}
        ~Texture();
        Texture(Texture&& other) noexcept : name_(other.name_) { other.name_ = 0; }
        Texture& operator=(Texture&& other) noexcept;
        Texture(const Texture&) = delete;
        Texture& operator=(const Texture&) = delete;

        explicit operator bool() const { return name_ != 0; }
        ImTextureID id() const {
            return reinterpret_cast<ImTextureID>(static_cast<std::uintptr_t>(name_));
        }

    private:
        unsigned int name_ = 0;
    };

    RenderDevice() = default;
    ~RenderDevice() { release(); }
    RenderDevice(const RenderDevice&) = delete;
    RenderDevice& operator=(const RenderDevice&) = delete;

    // Creates the context on the HUD window and makes it current; empty on success.
    std::string create(OverlayWindow& window);
    // Dear ImGui's SDL2 and OpenGL3 backends (the Dear ImGui context must exist).
    bool initImGuiBackends();
    void shutdownImGuiBackends();
    // Forwards a window event to Dear ImGui.
    void processEvent(const SDL_Event& event);
    void newFrame();
    // Applies a new client size; a zero width or height is ignored.
    void resize(std::uint32_t width, std::uint32_t height);
    // Clears the back buffer with the colour and draws Dear ImGui's output. A frame identical to
    // the one on screen (and no exposure or resize since) is not drawn; present() then only
    // keeps the pace.
    void render(const ImVec4& clearColour);
    // Shows the frame and holds the loop to the display rate when the driver ignores vsync.
    // Empty on success, else the error text (the context was lost).
    std::string present();
    // An immutable BGRA texture (rows top-down, width * 4 bytes each) for ImGui::Image.
    Texture createTexture(const std::vector<std::uint8_t>& bgra, int width, int height);
    // Releases the context; the backends must have been shut down while Dear ImGui's context
    // still existed.
    void release();

private:
    using ResetStatusFunction = unsigned int (*)();

    static std::uint64_t drawDataHash(const ImDrawData* data, const ImVec4& clearColour);

    OverlayWindow* overlay_ = nullptr;
    SDL_Window* window_ = nullptr;
    void* context_ = nullptr;
    bool sdlBackend_ = false;
    bool glBackend_ = false;
    ResetStatusFunction resetStatus_ = nullptr;
    std::chrono::nanoseconds framePeriod_{16'666'667};
    std::chrono::steady_clock::time_point lastPresent_{};
    std::uint64_t shownHash_ = 0;
    bool mustPresent_ = true;  // exposed, shown or resized since the last present
    bool skipPresent_ = false;
    // Mouse buttons (Dear ImGui's order: left, right, middle) as this frame's events left
    // them, and those pressed by one of them.
    std::bitset<3> buttonsHeld_;
    std::bitset<3> buttonsPressed_;
    // Where, in the window, the last of this frame's presses happened.
    ImVec2 pressedAt_{};
};

}  // namespace morvelin
