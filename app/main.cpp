// Process entry: brings the program up in a fixed order on this thread (the UI thread), runs
// the frame loop, and takes everything down in reverse. Every start-up failure is shown once
// and ends the process with exit code 1.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>
#include <utility>

#include <curl/curl.h>
#include <fmt/format.h>
#include <imgui.h>

#include "audio/audio_capture.h"
#include "base/session_log.h"
#include "llm/llm_client.h"
#include "platform/fatal_error.h"
#include "platform/overlay_window.h"
#include "platform/render_device.h"
#include "platform/single_instance.h"
#include "speech/stt_client.h"
#include "ui/imgui_ui.h"

namespace {

using morvelin::OverlayWindow;

// Runs its action when the scope ends, so an early return or an exception undoes exactly
// what was done before it.
template <typename Action>
class ScopeExit {
public:
    explicit ScopeExit(Action action) : action_(std::move(action)) {}
    ~ScopeExit() { action_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Action action_;
};

// Only a value of 1 to 7 characters that starts with '0' turns protection off; an unset or
// empty variable, any other value and any longer value leave it on.
bool captureProtectionSwitchedOff() {
    const char* value = std::getenv("MORVELIN_CAPTURE_PROTECTION");
    if (!value)
        return false;
    const std::size_t length = std::strlen(value);
    return length >= 1 && length <= 7 && value[0] == '0';
}

int fatal(const std::string& text) {
    morvelin::showFatalError(text);
    return 1;
}

int run() {
    morvelin::SingleInstance instance;
    if (instance.anotherInstanceRuns()) {
        morvelin::SingleInstance::signalExisting();
        return 0;
    }

    const CURLcode curlResult = curl_global_init(CURL_GLOBAL_ALL);
    if (curlResult != CURLE_OK)
        return fatal(fmt::format("curl_global_init failed: {}", curl_easy_strerror(curlResult)));
    ScopeExit curlCleanup([] { curl_global_cleanup(); });

    OverlayWindow window;
    if (const std::string error = window.create("Halvenor"); !error.empty())
        return fatal(error);
    morvelin::SingleInstance::Listener showRequests(instance,
                                                    [&window] { window.postShowRequest(); });

    if (captureProtectionSwitchedOff())
        window.setCaptureProtection(false);
    if (!window.registerVisibilityHotkey(OverlayWindow::ModControl | OverlayWindow::ModAlt, 'H'))
        morvelin::log("Ctrl+Alt+H is taken by another app: hiding the HUD is disabled");

    morvelin::RenderDevice device;
    if (const std::string error = device.create(window); !error.empty())
        return fatal(error);

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ScopeExit imguiContext([&device] {
        device.shutdownImGuiBackends();
        ImGui::DestroyContext();
    });
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.ConfigFlags |= ImGuiConfigFlags_NavEnableKeyboard;
    if (!device.initImGuiBackends())
        return fatal("Failed to initialise the Dear ImGui backends.");
    window.setMessageHook([&device](const SDL_Event& event) {
        device.processEvent(event);
        return false;
    });

    // Destroyed in reverse, before the Dear ImGui backends and the window: every worker that
    // calls back has stopped before anything it touches goes away.
    morvelin::LlmClient answerClient;
    morvelin::AudioCapture audioCapture;
    morvelin::SttClient systemAudioStt;
    morvelin::SttClient microphoneStt;
    // The controller goes first at shut-down: it stops every callback into itself before any
    // service it uses is destroyed.
    morvelin::ImGuiUI hud(
        {&window, &answerClient, &audioCapture, &systemAudioStt, &microphoneStt, &device},
        window.dpiScale());

    window.show();

    int exitCode = 0;
    const ImVec4 clearColour(0.067f, 0.075f, 0.090f, 1.0f);
    while (window.pumpMessages()) {
        // Nothing is drawn while hidden or minimised, but a settings change made just before
        // still has its save due: the idle turn writes it and shortens the wait to it.
        if (!window.isVisible()) {
            window.waitForMessages(hud.idle(100));
            continue;
        }
        if (window.isMinimized()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(hud.idle(16)));
            continue;
        }
        std::uint32_t width = 0, height = 0;
        if (window.takePendingResize(width, height))
            device.resize(width, height);

        device.newFrame();
        ImGui::NewFrame();
        hud.draw();
        ImGui::Render();
        window.setInteractive(io.WantTextInput);
        if (hud.quitRequested)
            window.requestClose();

        device.render(clearColour);
        if (const std::string error = device.present(); !error.empty()) {
            morvelin::showFatalError(error);
            exitCode = 1;
            break;
        }
    }
    return exitCode;
}

}  // namespace

int main() {
    try {
        return run();
    } catch (const std::exception& error) {
        morvelin::showFatalError(fmt::format("Unhandled exception: {}", error.what()));
    } catch (...) {
        morvelin::showFatalError("Unhandled unknown exception.");
    }
    return 1;
}
