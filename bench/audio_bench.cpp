// Cost of the audio path: the meter and detector per chunk (in multiples of real time) and
// the CPU the two capture threads use against a real PulseAudio daemon while speech plays.

#include <benchmark/benchmark.h>

#include <time.h>
#include <atomic>
#include <cmath>
#include <random>
#include <vector>

#include "audio/audio_capture.h"
#include "tests/support/pulse_server.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using morvelin::AudioCapture;
using morvelin::AudioSource;

const halvenor::test::TempDir logHome("halvenor-audio-bench");
const halvenor::test::ScopedEnv logLocation("LOCALAPPDATA", logHome.path().c_str());

// Ten seconds of room noise with a tone burst of 1.5 s every 4 s: both detector paths run,
// and an utterance starts and ends a few times per pass.
std::vector<std::int16_t> makeSignal() {
    std::mt19937 random(3);
    std::normal_distribution<double> noise(0.0, 10.0);
    std::vector<std::int16_t> samples(160000);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        double value = noise(random);
        if ((i % 64000) < 24000)
            value += 3000.0 * std::sin(2.0 * M_PI * 300.0 * static_cast<double>(i) / 16000.0);
        samples[i] = static_cast<std::int16_t>(std::lround(value));
    }
    return samples;
}

void BM_MeterAndDetector(benchmark::State& state) {
    const auto signal = makeSignal();
    AudioCapture capture;
    morvelin::VadState vad;
    for (auto _ : state) {
        for (std::size_t at = 0; at < signal.size(); at += 1600)
            morvelin::processChunk(capture, AudioSource::SystemAudio,
                                   std::span(signal).subspan(at, 1600), vad);
        benchmark::DoNotOptimize(vad.floorDb);
    }
    // Seconds of audio per second of processing: multiples of real time.
    state.counters["realtime_x"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(signal.size()) / 16000.0,
        benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MeterAndDetector)->Unit(benchmark::kMillisecond);

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Each capture thread samples its own CPU clock from inside the audio callback.
void BM_CaptureThreadsCpu(benchmark::State& state) {
    halvenor::test::PulseServer pulse;
    const auto speech = pulse.makeSpeech(
        "Could you walk me through a project where you had to make a difficult technical "
        "decision, and tell me what you would do differently today?");
    std::array<std::atomic<double>, 2> cpu{};
    AudioCapture capture;
    const auto error = capture.start(
        [&](AudioSource source, std::span<const std::int16_t>) {
            cpu[morvelin::sourceIndex(source)] = threadCpuSeconds();
        },
        {});
    if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::this_thread::sleep_for(1s);
    const double start0 = cpu[0], start1 = cpu[1];
    const auto wallStart = std::chrono::steady_clock::now();
    for (auto _ : state) {
        auto toSpeakers = pulse.playInBackground(speech, "speakers");
        auto toMicrophone = pulse.playInBackground(speech, "mic_in");
        toSpeakers.wait(30s);
        toMicrophone.wait(30s);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    capture.stop();
    const double used = (cpu[0] - start0) + (cpu[1] - start1);
    state.counters["cpu_percent_of_core"] = 100.0 * used / wall;
    state.counters["utterances"] = capture.utteranceCount[0] + capture.utteranceCount[1];
}
BENCHMARK(BM_CaptureThreadsCpu)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
