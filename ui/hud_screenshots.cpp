// The screenshot tray: captures of the primary monitor waiting to be sent as one image
// question. UI thread only.

#include <fmt/format.h>

#include "base/session_log.h"
#include "platform/screen_capture.h"
#include "ui/imgui_ui.h"

namespace morvelin {

void ImGuiUI::captureScreen() {
    if (tray.size() >= kTrayLimit) {
        statusText = fmt::format("Screenshot limit ({}) reached. Send them or remove some first.",
                                 kTrayLimit);
        return;
    }
    // X11 cannot keep the HUD out of a capture, so unless that ever succeeds the HUD hides
    // itself for the moment of the capture.
    OverlayWindow* overlay = services.overlay;
    const bool hidden = hideWhileCapturing && overlay && overlay->exists() &&
                        overlay->isVisible() && !overlay->captureProtected();
    if (hidden) {
        overlay->setVisible(false);
        overlay->waitUntilHidden();
    }
    ScreenshotResult result = captureScreenshot(ScreenshotOptions{screenshotMaxWidth, 320});
    if (hidden)
        overlay->setVisible(true);
    if (!result.shot) {
        statusText = "Screen capture failed: " + result.error;
        return;
    }
    Screenshot& shot = *result.shot;
    TrayScreenshot entry;
    entry.thumbnail =
        createThumbnailTexture(services.device, shot.thumbBgra, shot.thumbWidth, shot.thumbHeight);
    log("screenshot {} captured: {}x{}, {} KB base64", tray.size() + 1, shot.width, shot.height,
        shot.pngBase64.size() / 1024);
    entry.pngBase64 = std::move(shot.pngBase64);
    entry.width = shot.width;
    entry.height = shot.height;
    entry.thumbWidth = shot.thumbWidth;
    entry.thumbHeight = shot.thumbHeight;
    tray.push_back(std::move(entry));
    statusText = fmt::format("{} screenshot{} ready. Click Send when you want them answered by {}.",
                             tray.size(), pluralSuffix(tray.size()), screenshotModelId());
}

RenderDevice::Texture ImGuiUI::createThumbnailTexture(RenderDevice* device,
                                                      const std::vector<std::uint8_t>& bgra,
                                                      int width, int height) {
    if (!device || width <= 0 || height <= 0 ||
        bgra.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4)
        return {};
    return device->createTexture(bgra, width, height);
}

void ImGuiUI::removeScreenshot(std::size_t index) {
    if (index >= tray.size())
        return;
    tray.erase(tray.begin() + static_cast<std::ptrdiff_t>(index));
    statusText = tray.empty() ? std::string("Screenshots cleared.")
                              : fmt::format("{} screenshot{} ready to send.", tray.size(),
                                            pluralSuffix(tray.size()));
}

void ImGuiUI::clearScreenshots() {
    tray.clear();
    statusText = "Screenshots cleared.";
}

void ImGuiUI::sendScreenshots() {
    if (tray.empty() && typedQuestion.empty())
        return;
    const std::size_t count = tray.size();
    AskRequest request;
    request.prompt = typedQuestion.empty() ? screenshotPrompt(count) : typedQuestion;
    request.display = screenshotDisplay(typedQuestion, count);
    request.kind = count >= 1 ? AskKind::Screenshots : AskKind::Typed;
    // Copies: the tray and the question stay until the request is on its way, so a refused
    // send (no key) can be made again once the key is in.
    request.images.reserve(count);
    for (const TrayScreenshot& entry : tray)
        request.images.push_back(entry.pngBase64);
    if (!askQuestion(std::move(request)))
        return;
    tray.clear();
    typedQuestion.clear();
}

}  // namespace morvelin
