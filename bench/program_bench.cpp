// Figures of the assembled program, each measured in this run beside its goal:
//   - speech end -> question dispatched, our own time beyond the waits the design mandates,
//     for both speech-to-text engines (in-process controller, local services);
//   - first event-stream byte at the socket -> token in the answer state, and -> drawn in the
//     next frame;
//   - start-up: process start -> first frame presented (the real program under Xvfb);
//   - CPU (whole process and without the software rasteriser's threads) while hidden, visible
//     and idle, listening with speech playing, and streaming an answer; peak resident memory.
// Prints one table and writes bench/results/program.json (or the path in argv[1]).

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <curl/curl.h>
#include <dirent.h>
#include <imgui.h>
#include <imgui_internal.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "audio/audio_capture.h"
#include "llm/llm_client.h"
#include "speech/stt_client.h"
#include "tests/support/local_http_server.h"
#include "tests/support/memory_trend.h"
#include "tests/support/process.h"
#include "tests/support/pulse_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x11_test_client.h"
#include "tests/support/xvfb_server.h"
#include "tests/ui/imgui_ui_probe.h"
#include "ui/imgui_ui.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using halvenor::test::HttpRequest;
using halvenor::test::HttpResponseWriter;
using morvelin::AudioSource;
using morvelin::ImGuiUI;
using morvelin::ImGuiUIProbe;

struct Row {
    std::string figure;
    double value = 0;
    std::string unit;
    std::string goal;
};
std::vector<Row> rows;

void add(std::string figure, double value, std::string unit, std::string goal = "") {
    std::printf("  %-64s %10.3f %-6s %s\n", figure.c_str(), value, unit.c_str(), goal.c_str());
    std::fflush(stdout);
    rows.push_back({std::move(figure), value, std::move(unit), std::move(goal)});
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// Polls without the 5 ms step of the tests' waitUntil, which would swamp what is measured here.
template <typename Predicate>
bool spinUntil(Predicate&& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!predicate()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20us);
    }
    return true;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string sse(const std::string& text) {
    return "data: " + nlohmann::json{{"choices", {{{"delta", {{"content", text}}}}}}}.dump() +
           "\n\n";
}

// ------------------------------------------------------------------------------------------
// The controller in this process, without a display.

class InProcess {
public:
    explicit InProcess(halvenor::test::HttpHandler handler) : server_(std::move(handler)) {
        ::setenv("LOCALAPPDATA", dir_.path().c_str(), 1);
        ::setenv("HALVENOR_CHAT_BASE_URL", server_.baseUrl().c_str(), 1);
        ::setenv("OPENROUTER_API_KEY", "bench-key", 1);
        ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;
        io.DisplaySize = ImVec2(1382, 900);
        llm_ = std::make_unique<morvelin::LlmClient>();
        ui_ = std::make_unique<ImGuiUI>(
            ImGuiUI::Services{nullptr, llm_.get(), &capture_, &sttSystem_, &sttMic_, nullptr},
            1.0f);
        unsigned char* pixels = nullptr;
        int width = 0, height = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
    }
    ~InProcess() {
        ui_.reset();
        llm_.reset();
        ImGui::DestroyContext();
    }

    ImGuiUI& ui() { return *ui_; }
    halvenor::test::LocalHttpServer& server() { return server_; }

    std::uint64_t generation() {
        std::lock_guard lock(ImGuiUIProbe::stateMutex(*ui_));
        return ImGuiUIProbe::answerGeneration(*ui_);
    }
    std::size_t answerSize() {
        std::lock_guard lock(ImGuiUIProbe::stateMutex(*ui_));
        return ImGuiUIProbe::answerText(*ui_).size();
    }
    void waitIdle() {
        halvenor::test::waitUntil(
            [&] {
                std::lock_guard lock(ImGuiUIProbe::stateMutex(*ui_));
                return ImGuiUIProbe::answerState(*ui_) != morvelin::kAnswerStreaming;
            },
            5s);
    }

    // Draws one frame and returns the text it drew.
    std::string frame() {
        ImGuiIO& io = ImGui::GetIO();
        io.DeltaTime = 1.0f / 60.0f;
        ImGui::NewFrame();
        // Dear ImGui 1.86 empties a buffer log when the window holding it ends; the clipboard
        // log (the context's own clipboard here) keeps the text.
        ImGui::SetClipboardText("");
        ImGui::LogToClipboard();
        ui_->draw();
        ImGui::LogFinish();
        ImGui::Render();
        const char* text = ImGui::GetClipboardText();
        return text ? std::string(text) : std::string();
    }

private:
    halvenor::test::TempDir dir_{"halvenor-bench"};
    halvenor::test::LocalHttpServer server_;
    morvelin::AudioCapture capture_;
    morvelin::SttClient sttSystem_;
    morvelin::SttClient sttMic_;
    std::unique_ptr<morvelin::LlmClient> llm_;
    std::unique_ptr<ImGuiUI> ui_;
};

void quickAnswer(const HttpRequest&, HttpResponseWriter& writer) {
    writer.writeHead(200, {{"Content-Type", "text/event-stream"}});
    writer.write(sse("ok"));
    writer.write("data: [DONE]\n\n");
    writer.finish();
}

// Streaming engine: a speech-final result decides at once on the thread that delivers it, so
// the whole time from its arrival to the request being started is ours.
void measureStreamingDispatch() {
    InProcess hud(quickAnswer);
    std::vector<double> samples;
    for (int i = 0; i < 200; ++i) {
        const std::uint64_t before = hud.generation();
        const std::string question = fmt::format("How would you design system number {}?", i);
        const auto t0 = Clock::now();
        ImGuiUIProbe::onTranscript(hud.ui(), AudioSource::SystemAudio, question, true, true);
        const auto t1 = Clock::now();
        if (hud.generation() != before)
            samples.push_back(ms(t1 - t0));
        hud.waitIdle();
    }
    add("speech end -> question dispatched, streaming engine (p50)", percentile(samples, 0.5), "ms",
        "< 5 ms");
    add("speech end -> question dispatched, streaming engine (p99)", percentile(samples, 0.99),
        "ms", "< 5 ms");
}

// Per-utterance engine: speech end closes the utterance, one upload transcribes it and the
// final decides. The service's own time (request received -> reply written) is subtracted.
void measurePerUtteranceDispatch() {
    std::mutex mutex;
    std::vector<double> serviceMs;
    std::atomic<int> counter{0};
    InProcess hud([&](const HttpRequest& request, HttpResponseWriter& writer) {
        if (request.target == "/api/v1/audio/transcriptions") {
            const auto t0 = Clock::now();
            const std::string body =
                nlohmann::json{
                    {"text", fmt::format("What is your approach to problem {}?", counter.load())}}
                    .dump();
            writer.writeHead(200, {{"Content-Type", "application/json"}}, false, body.size());
            writer.write(body);
            writer.finish();
            std::lock_guard lock(mutex);
            serviceMs.push_back(ms(Clock::now() - t0));
            return;
        }
        quickAnswer(request, writer);
    });
    ImGuiUI& ui = hud.ui();
    morvelin::BatchTranscriberConfig config;
    config.apiKey = "bench-key";
    config.interimPartials = false;
    config.label = "interviewer";
    auto& transcriber = ImGuiUIProbe::transcribers(ui)[0];
    transcriber.configure(
        config,
        [&ui](const std::string& text, bool isFinal, bool speechFinal) {
            ImGuiUIProbe::onTranscript(ui, AudioSource::SystemAudio, text, isFinal, speechFinal);
        },
        [](const std::string&) {});
    ImGuiUIProbe::perUtteranceActive(ui).store(true);

    std::vector<std::int16_t> chunk(1600);
    for (std::size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<std::int16_t>((i % 40 < 20) ? 8000 : -8000);
    std::vector<double> samples;
    for (int i = 0; i < 40; ++i) {
        counter = i;
        const std::uint64_t before = hud.generation();
        ImGuiUIProbe::onVoice(ui, AudioSource::SystemAudio, morvelin::VadEvent::SpeechStart);
        for (int c = 0; c < 10; ++c)
            ImGuiUIProbe::onAudio(ui, AudioSource::SystemAudio,
                                  std::span<const std::int16_t>(chunk));
        std::size_t servedBefore;
        {
            std::lock_guard lock(mutex);
            servedBefore = serviceMs.size();
        }
        const auto t0 = Clock::now();
        ImGuiUIProbe::onVoice(ui, AudioSource::SystemAudio, morvelin::VadEvent::SpeechEnd);
        if (!spinUntil([&] { return hud.generation() != before; }, 5s))
            continue;
        const auto t1 = Clock::now();
        double service = 0;
        {
            std::lock_guard lock(mutex);
            if (serviceMs.size() > servedBefore)
                service = serviceMs.back();
        }
        samples.push_back(ms(t1 - t0) - service);
        hud.waitIdle();
    }
    transcriber.stop();
    add("speech end -> question dispatched, per-utterance engine (p50)", percentile(samples, 0.5),
        "ms", "< 5 ms (incl. local HTTP round trip)");
    add("speech end -> question dispatched, per-utterance engine (p99)", percentile(samples, 0.99),
        "ms", "< 5 ms (incl. local HTTP round trip)");
}

// The server stamps the moment before it writes the first event; this thread watches the
// answer state (and, separately, the drawn frames) for the token.
void measureTokenLatency() {
    std::atomic<std::int64_t> sentAt{0};
    std::atomic<bool> release{false};
    InProcess hud([&](const HttpRequest&, HttpResponseWriter& writer) {
        writer.writeHead(200, {{"Content-Type", "text/event-stream"}});
        while (!release.load())
            std::this_thread::sleep_for(200us);
        sentAt = Clock::now().time_since_epoch().count();
        writer.write(sse("Tok"));
        writer.write("data: [DONE]\n\n");
        writer.finish();
    });
    std::vector<double> toState;
    std::vector<double> toFrame;
    for (int i = 0; i < 200; ++i) {
        release = false;
        hud.ui().askQuestion(morvelin::AskRequest{"q", "q", morvelin::AskKind::Typed});
        std::this_thread::sleep_for(2ms);  // the request is on its way and the stream open
        release = true;
        if (!spinUntil([&] { return hud.answerSize() > 0; }, 5s))
            continue;
        const auto seen = Clock::now().time_since_epoch().count();
        toState.push_back(static_cast<double>(seen - sentAt.load()) / 1e6);
        hud.waitIdle();
    }
    add("first event byte -> token in the answer state (p50)", percentile(toState, 0.5), "ms");
    add("first event byte -> token in the answer state (p99)", percentile(toState, 0.99), "ms",
        "< 1 ms");

    // Frames at 60 Hz: how many frames after the byte was sent the token is drawn.
    for (int i = 0; i < 30; ++i) {
        release = false;
        hud.ui().askQuestion(morvelin::AskRequest{"q", "q", morvelin::AskKind::Typed});
        hud.frame();
        std::this_thread::sleep_for(5ms);
        release = true;
        const std::int64_t releasedAt = Clock::now().time_since_epoch().count();
        int frames = 0;
        for (; frames < 120; ++frames) {
            const auto frameStart = Clock::now();
            if (hud.frame().find("Tok") != std::string::npos)
                break;
            std::this_thread::sleep_until(frameStart + 16667us);
        }
        (void)releasedAt;
        toFrame.push_back(frames + 1);
        hud.waitIdle();
    }
    add("first event byte -> drawn (frames, worst of 30)",
        *std::max_element(toFrame.begin(), toFrame.end()), "frames", "<= 1 frame after arrival");
}

// ------------------------------------------------------------------------------------------
// The real program.

struct ThreadCpu {
    double total = 0;
    double ours = 0;  // without llvmpipe-* threads
};

ThreadCpu cpuOf(pid_t pid) {
    ThreadCpu cpu;
    const std::string base = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(base.c_str());
    if (!dir)
        return cpu;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream in(base + "/" + entry->d_name + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto open = stat.find('(');
        const auto close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        const std::string name = stat.substr(open + 1, close - open - 1);
        std::istringstream fields(stat.substr(close + 2));
        std::string field;
        double seconds = 0;
        for (int i = 3; fields >> field; ++i) {
            if (i == 14 || i == 15)
                seconds += std::stod(field) / tick;
            if (i == 15)
                break;
        }
        cpu.total += seconds;
        if (name.rfind("llvmpipe", 0) != 0)
            cpu.ours += seconds;
    }
    closedir(dir);
    return cpu;
}

// One pixel of the screen as 0xRRGGBB.
class ScreenReader {
public:
    explicit ScreenReader(const std::string& display) : display_(XOpenDisplay(display.c_str())) {}
    ~ScreenReader() {
        if (display_)
            XCloseDisplay(display_);
    }
    std::optional<unsigned long> pixel(int x, int y) {
        if (!display_)
            return std::nullopt;
        XImage* image =
            XGetImage(display_, DefaultRootWindow(display_), x, y, 1, 1, AllPlanes, ZPixmap);
        if (!image)
            return std::nullopt;
        const unsigned long value = XGetPixel(image, 0, 0) & 0xFFFFFF;
        XDestroyImage(image);
        return value;
    }

private:
    Display* display_;
};

void measureProgram(const char* binary) {
    halvenor::test::XvfbServer xvfb;
    halvenor::test::PulseServer pulse;
    halvenor::test::TempDir appData("halvenor-bench-app");
    std::atomic<bool> slowAnswer{false};
    halvenor::test::LocalHttpServer services(
        [&](const HttpRequest& request, HttpResponseWriter& writer) {
            if (request.target == "/api/v1/audio/transcriptions") {
                const std::string body =
                    nlohmann::json{{"text", "What is your greatest strength?"}}.dump();
                writer.writeHead(200, {{"Content-Type", "application/json"}}, false, body.size());
                writer.write(body);
                writer.finish();
                return;
            }
            writer.writeHead(200, {{"Content-Type", "text/event-stream"}});
            // A long answer streamed over about 8 s, as a slow model writes it.
            for (int i = 0; i < (slowAnswer ? 400 : 3); ++i) {
                writer.write(sse(fmt::format("word{} ", i) + (i % 12 == 11 ? "\n- " : "")));
                if (!writer.pause(20ms))
                    return;
            }
            writer.write("data: [DONE]\n\n");
            writer.finish();
        });
    halvenor::test::X11TestClient x11(xvfb.display());
    ScreenReader screen(xvfb.display());

    halvenor::test::SpawnOptions options;
    options.quiet = true;
    options.env = pulse.env();
    options.env["DISPLAY"] = xvfb.display();
    options.env["LOCALAPPDATA"] = appData.path().string();
    options.env["OPENROUTER_API_KEY"] = "bench-key";
    options.env["HALVENOR_CHAT_BASE_URL"] = services.baseUrl();

    // Start-up: until the HUD's area shows its background colour.
    std::vector<double> startups;
    for (int run = 0; run < 5; ++run) {
        const auto t0 = Clock::now();
        halvenor::test::Subprocess program({binary}, options);
        const bool painted = halvenor::test::waitUntil(
            [&] {
                if (x11.shownWindowOfClass("MorvelinDeskOverlay") == None)
                    return false;
                // Inside the HUD's padding: the background colour once a frame is presented.
                const auto pixel = screen.pixel(272, 3);
                return pixel && *pixel == 0x111317;
            },
            20s);
        if (painted)
            startups.push_back(ms(Clock::now() - t0));
        program.stop(SIGTERM, 10s);
    }
    add("start-up: process start -> first frame presented (median of 5)", percentile(startups, 0.5),
        "ms", "< 300 ms");

    halvenor::test::Subprocess program({binary}, options);
    x11.waitForShownWindowOfClass("MorvelinDeskOverlay", 20s);
    std::this_thread::sleep_for(1s);
    const auto key = [&](const std::string& keys) {
        halvenor::test::xdotool(xvfb.display(), {"key", keys});
    };
    const auto cpuOver = [&](std::chrono::milliseconds span, const std::string& state) {
        const ThreadCpu before = cpuOf(program.pid());
        std::this_thread::sleep_for(span);
        const ThreadCpu after = cpuOf(program.pid());
        const double seconds = std::chrono::duration<double>(span).count();
        add("CPU, " + state + ": whole process", 100 * (after.total - before.total) / seconds,
            "% core");
        add("CPU, " + state + ": our threads (no llvmpipe-*)",
            100 * (after.ours - before.ours) / seconds, "% core",
            state.rfind("listening", 0) == 0 ? "< 5 % while listening" : "");
    };

    cpuOver(5s, "visible and idle");
    key("ctrl+alt+h");
    std::this_thread::sleep_for(500ms);
    cpuOver(5s, "hidden");
    key("ctrl+alt+h");
    std::this_thread::sleep_for(500ms);

    key("ctrl+shift+l");
    std::this_thread::sleep_for(1s);
    const auto speech = pulse.makeSpeech(
        "Tell me about a project you are proud of, and what you would do differently today.");
    {
        auto playing = pulse.playInBackground(speech);
        std::this_thread::sleep_for(500ms);
        cpuOver(4s, "listening with speech playing");
    }
    // Let that question's quick answer finish, then ask one that streams slowly.
    std::this_thread::sleep_for(3s);
    slowAnswer = true;
    key("ctrl+shift+a");
    std::this_thread::sleep_for(500ms);
    cpuOver(5s, "streaming an answer");
    add("peak resident memory (VmHWM)",
        static_cast<double>(halvenor::test::procStatus(program.pid(), "VmHWM")) / 1024.0, "MB",
        "< 80 MB");
    add("private anonymous memory (smaps_rollup)",
        static_cast<double>(halvenor::test::privateAnonymousKb(program.pid())) / 1024.0, "MB");
    program.stop(SIGTERM, 10s);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string out = argc > 1 ? argv[1] : "bench/results/program.json";
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::printf("== program figures\n");
    measureStreamingDispatch();
    measurePerUtteranceDispatch();
    measureTokenLatency();
    measureProgram(HALVENOR_BINARY);
    curl_global_cleanup();

    nlohmann::json json = nlohmann::json::array();
    for (const Row& row : rows)
        json.push_back(
            {{"figure", row.figure}, {"value", row.value}, {"unit", row.unit}, {"goal", row.goal}});
    std::filesystem::create_directories(std::filesystem::path(out).parent_path());
    std::ofstream(out) << json.dump(2) << "\n";
    return 0;
}
