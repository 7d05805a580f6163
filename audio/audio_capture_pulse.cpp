// The PulseAudio back end of AudioCapture (also served by PipeWire's PulseAudio server).
//
// Each capture thread owns its own pa_mainloop and, per device open, a context and a
// record stream of s16le / 16000 Hz / mono; the server converts from the device's own
// format. The "system audio" source records the monitor of the default sink, the
// microphone records the default source unless that is itself a monitor (then there is no
// microphone). Streams are opened with PA_STREAM_DONT_MOVE: when a device goes away the
// server fails our stream instead of silently moving it elsewhere, and we reopen on the
// current default ourselves, exactly as after a default-device change.
//
// The main loop is never left to block: the thread wakes every 10 ms, dispatches what has
// arrived and drains the stream, so stop requests, reconnect requests and the once-a-second
// default-device check all run on the same simple schedule.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "base/error_text.h"
#include "base/session_log.h"
#include "audio/audio_capture.h"

namespace morvelin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunkSamples = 1600;      // 100 ms at 16 kHz
constexpr std::size_t kBufferReserve = 6400;     // 400 ms: appending never reallocates
constexpr std::uint32_t kMaxLengthBytes = 6400;  // 200 ms of server-side buffer
constexpr std::uint32_t kFragmentBytes = 640;    // 20 ms fragments: data every other poll
constexpr auto kServerTimeout = 2s;              // a local server answers in milliseconds
constexpr int kMaxDispatchRounds = 64;

struct MainloopDeleter {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct ContextDeleter {
    void operator()(pa_context* context) const {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
struct StreamDeleter {
    void operator()(pa_stream* stream) const {
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
            pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
};
struct OperationDeleter {
    // A cancelled operation never calls its callback, whose user data may be gone by then.
    void operator()(pa_operation* operation) const {
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
            pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
};
using MainloopPtr = std::unique_ptr<pa_mainloop, MainloopDeleter>;
using ContextPtr = std::unique_ptr<pa_context, ContextDeleter>;
using StreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;

// One open device; rebuilt for every open attempt. The stream is released before the
// context it belongs to (members are destroyed in reverse order).
struct DeviceState {
    ContextPtr context;
    StreamPtr stream;
    std::string id;    // the sink (system audio) or source (microphone) name
    std::string name;  // its description, as the user knows it

    void clear() {
        stream.reset();
        context.reset();
        id.clear();
        name.clear();
    }
};

std::string pulseFailure(std::string_view step, int error) {
    return describeFailure(step,
                           formatErrorCode(static_cast<std::uint32_t>(error), pa_strerror(error)));
}

// Runs the main loop until done() holds; false when the server did not answer in time.
template <typename Done>
bool runUntil(pa_mainloop* loop, Done&& done) {
    const auto deadline = Clock::now() + kServerTimeout;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        if (pa_mainloop_prepare(loop, 10'000) < 0 || pa_mainloop_poll(loop) < 0 ||
            pa_mainloop_dispatch(loop) < 0)
            return false;
    }
    return true;
}

// Runs the main loop until ready() or failed() holds. Empty when ready; else the failure of
// `step`: a time-out, or the context's own error.
template <typename Ready, typename Failed>
std::string waitUntilReady(pa_mainloop* loop, pa_context* context, const char* step, Ready&& ready,
                           Failed&& failed) {
    if (!runUntil(loop, [&] { return ready() || failed(); }))
        return pulseFailure(step, PA_ERR_TIMEOUT);
    if (!ready())
        return pulseFailure(step, pa_context_errno(context));
    return {};
}

// An answer to a query on the context is lost when the context fails.
bool contextFailed(pa_context* context) {
    return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
}

struct DefaultDevices {
    bool answered = false;
    std::string sink;
    std::string source;
};

// The server's current default sink and source names; an error text on failure.
std::string queryDefaults(pa_mainloop* loop, pa_context* context, DefaultDevices& defaults) {
    const auto onInfo = [](pa_context*, const pa_server_info* info, void* data) {
        auto& result = *static_cast<DefaultDevices*>(data);
        if (info && info->default_sink_name)
            result.sink = info->default_sink_name;
        if (info && info->default_source_name)
            result.source = info->default_source_name;
        result.answered = true;
    };
    OperationPtr operation(pa_context_get_server_info(context, onInfo, &defaults));
    if (!operation)
        return pulseFailure("pa_context_get_server_info", pa_context_errno(context));
    return waitUntilReady(
        loop, context, "pa_context_get_server_info", [&] { return defaults.answered; },
        [&] { return contextFailed(context); });
}

struct DeviceInfo {
    bool answered = false;
    bool found = false;
    bool isMonitor = false;
    std::string description;
    std::string monitorSource;  // sinks only
};

// Looks up a sink or source by name. A name the server does not know gives found = false.
std::string queryDevice(pa_mainloop* loop, pa_context* context, bool sink, const std::string& name,
                        DeviceInfo& info) {
    pa_operation* raw;
    if (sink) {
        const auto onSink = [](pa_context*, const pa_sink_info* i, int eol, void* data) {
            auto& result = *static_cast<DeviceInfo*>(data);
            if (eol != 0 || !i) {
                result.answered = true;
                return;
            }
            result.found = true;
            result.description = i->description ? i->description : i->name;
            result.monitorSource = i->monitor_source_name ? i->monitor_source_name : "";
        };
        raw = pa_context_get_sink_info_by_name(context, name.c_str(), onSink, &info);
    } else {
        const auto onSource = [](pa_context*, const pa_source_info* i, int eol, void* data) {
            auto& result = *static_cast<DeviceInfo*>(data);
            if (eol != 0 || !i) {
                result.answered = true;
                return;
            }
            result.found = true;
            result.description = i->description ? i->description : i->name;
            result.isMonitor = i->monitor_of_sink != PA_INVALID_INDEX;
        };
        raw = pa_context_get_source_info_by_name(context, name.c_str(), onSource, &info);
    }
    const char* step =
        sink ? "pa_context_get_sink_info_by_name" : "pa_context_get_source_info_by_name";
    OperationPtr operation(raw);
    if (!operation)
        return pulseFailure(step, pa_context_errno(context));
    return waitUntilReady(
        loop, context, step, [&] { return info.answered; }, [&] { return contextFailed(context); });
}

// Connects to the server, finds the default device and starts recording from it.
// Returns an empty text on success, else the error. What was created stays in `device`
// for the caller, also after a failure (the caller clears it).
std::string openDevice(pa_mainloop* loop, bool loopback, DeviceState& device) {
    const char* const noDevice = loopback ? "no playback device found" : "no microphone found";
    device.context.reset(pa_context_new(pa_mainloop_get_api(loop), "Halvenor"));
    pa_context* context = device.context.get();
    if (!context)
        return pulseFailure("pa_context_new", PA_ERR_INTERNAL);
    // Never spawn a sound server of our own: the user's session provides one or none.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return pulseFailure("pa_context_connect", pa_context_errno(context));
    if (auto error = waitUntilReady(
            loop, context, "pa_context_connect",
            [&] { return pa_context_get_state(context) == PA_CONTEXT_READY; },
            [&] { return contextFailed(context); });
        !error.empty())
        return error;

    DefaultDevices defaults;
    if (auto error = queryDefaults(loop, context, defaults); !error.empty())
        return error;
    const std::string& defaultName = loopback ? defaults.sink : defaults.source;
    if (defaultName.empty())
        return noDevice;
    DeviceInfo info;
    if (auto error = queryDevice(loop, context, loopback, defaultName, info); !error.empty())
        return error;
    // A monitor as the default source means the machine has no microphone: recording it
    // would capture the interviewer a second time as if the user had spoken.
    if (!info.found || info.isMonitor || (loopback && info.monitorSource.empty()))
        return noDevice;
    device.id = defaultName;
    device.name = info.description;

    static constexpr pa_sample_spec kFormat{PA_SAMPLE_S16LE, 16000, 1};
    device.stream.reset(
        pa_stream_new(context, loopback ? "System audio" : "Microphone", &kFormat, nullptr));
    pa_stream* stream = device.stream.get();
    if (!stream)
        return pulseFailure("pa_stream_new", pa_context_errno(context));
    pa_buffer_attr attributes{};
    attributes.maxlength = kMaxLengthBytes;
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = kFragmentBytes;
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    const std::string& from = loopback ? info.monitorSource : device.id;
    if (pa_stream_connect_record(stream, from.c_str(), &attributes, flags) < 0)
        return pulseFailure("pa_stream_connect_record", pa_context_errno(context));
    return waitUntilReady(
        loop, context, "pa_stream_connect_record",
        [&] { return pa_stream_get_state(stream) == PA_STREAM_READY; },
        [&] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)); });
}

// Dispatches what arrived since the last poll and appends every queued fragment to
// `buffer` (a hole in the stream becomes zeros). Returns the loss reason, empty while the
// device is fine.
std::string drainStream(pa_mainloop* loop, DeviceState& device, std::vector<std::int16_t>& buffer,
                        Clock::time_point& lastData) {
    for (int round = 0; round < kMaxDispatchRounds && pa_mainloop_iterate(loop, 0, nullptr) > 0;)
        ++round;
    pa_context* context = device.context.get();
    pa_stream* stream = device.stream.get();
    if (contextFailed(context))
        return pulseFailure("audio capture", pa_context_errno(context));
    // The server fails a stream it may not move when its device goes away.
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
        return "device was removed or changed";
    while (true) {
        const std::size_t readable = pa_stream_readable_size(stream);
        if (readable == static_cast<std::size_t>(-1))
            return pulseFailure("audio capture", pa_context_errno(context));
        if (readable == 0)
            return {};
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0)
            return pulseFailure("audio capture", pa_context_errno(context));
        if (bytes == 0)
            return {};
        const std::size_t count = bytes / sizeof(std::int16_t);
        const std::size_t at = buffer.size();
        buffer.resize(at + count);
        if (data)
            std::memcpy(buffer.data() + at, data, count * sizeof(std::int16_t));
        else
            std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(at), buffer.end(), 0);
        pa_stream_drop(stream);
        lastData = Clock::now();
    }
}

// Compares the server's current default with the open device; the loss reason when the
// device should be reopened, else an empty text.
std::string checkDefaultDevice(pa_mainloop* loop, DeviceState& device, bool loopback) {
    DefaultDevices defaults;
    if (!queryDefaults(loop, device.context.get(), defaults).empty())
        return "the audio device was removed";
    const std::string& current = loopback ? defaults.sink : defaults.source;
    if (current.empty())
        return "the audio device was removed";
    if (current != device.id)
        return "the default device changed";
    return {};
}

}  // namespace

void AudioCapture::captureLoop(AudioCapture& capture, std::stop_token stop, AudioSource source,
                               std::promise<std::string> firstOpen) {
    const std::size_t index = sourceIndex(source);
    const std::string_view name = sourceName(source);
    const bool loopback = source == AudioSource::SystemAudio;
    bool firstOpenGiven = false;
    const auto giveFirstOpen = [&](std::string result) {
        if (firstOpenGiven)
            return;
        firstOpenGiven = true;
        firstOpen.set_value(std::move(result));
    };

    MainloopPtr loop(pa_mainloop_new());
    if (!loop) {
        giveFirstOpen(pulseFailure("pa_mainloop_new", PA_ERR_INTERNAL));
        return;
    }

    capture.utteranceCount[index].exchange(0);
    DeviceState device;
    VadState vad;
    std::vector<std::int16_t> buffer;
    std::string lastOpenError;
    std::string lossReason;

    while (!stop.stop_requested()) {
        device.clear();
        const std::string error = openDevice(loop.get(), loopback, device);
        if (!error.empty()) {
            giveFirstOpen(error);
            capture.capturing[index].exchange(false);
            // Retried every 1.5 s; only a new error is worth a log line and a status.
            if (error != lastOpenError) {
                lastOpenError = error;
                log("audio {} unavailable: {} - retrying", name, error);
                capture.setStatus(source, "waiting for a device - " + error);
            }
            sleepUnlessStopped(stop, 1500);
            device.clear();
            continue;
        }

        lastOpenError.clear();
        capture.setDeviceName(source, device.name);
        capture.setStatus(source, "capturing from " + device.name);
        log("audio {} capturing from \"{}\"", name, device.name);
        capture.capturing[index].exchange(true);
        capture.peakDb[index].exchange(-140.0f);
        giveFirstOpen({});
        const std::uint32_t generation = capture.reconnectGeneration.load();
        vad = VadState{};
        buffer.reserve(kBufferReserve);
        Clock::time_point lastData = Clock::now();
        Clock::time_point lastCheck = lastData;
        Clock::time_point lastLog = lastData;
        lossReason.clear();

        while (!stop.stop_requested() && lossReason.empty()) {
            std::this_thread::sleep_for(10ms);
            lossReason = drainStream(loop.get(), device, buffer, lastData);
            if (!lossReason.empty())
                break;
            const auto now = Clock::now();
            if (!loopback) {
                if (now - lastData >= 5s) {
                    lossReason = "microphone stopped delivering audio";
                    break;
                }
            } else if (buffer.size() < kChunkSamples && now - lastData >= 100ms) {
                // A sink with nothing to play may deliver nothing at all; zeros keep the
                // chunks and the detector (and so the end of an utterance) running. They
                // also complete a partial chunk left over when playback stopped: waiting
                // for an empty buffer would wait forever and hold the utterance open.
                buffer.insert(buffer.end(), kChunkSamples, 0);
                lastData = now;
            }
            if (capture.reconnectGeneration.load() != generation) {
                lossReason = "reconnect requested";
                break;
            }
            if (now - lastCheck >= 1s) {
                lossReason = checkDefaultDevice(loop.get(), device, loopback);
                if (!lossReason.empty())
                    break;
                lastCheck = now;
            }
            if (now - lastLog >= 3s) {
                lastLog = now;
                const auto utterances = capture.utteranceCount[index].load();
                const bool speaking = capture.speaking[index].load();
                const float floor = capture.floorDb[index].load();
                const float peak = capture.peakDb[index].exchange(-140.0f);
                log("level {}: peak {:.1f} dB, floor {:.1f} dB, speaking={}, utterances={}", name,
                    peak, floor, speaking, utterances);
            }
            std::size_t consumed = 0;
            for (; buffer.size() - consumed >= kChunkSamples; consumed += kChunkSamples)
                processChunk(capture, source, std::span(buffer).subspan(consumed, kChunkSamples),
                             vad);
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
        }

        capture.capturing[index].exchange(false);
        capture.level[index].exchange(0.0f);
        capture.endSpeechOnClose(source, vad);
        if (!lossReason.empty() && !stop.stop_requested()) {
            log("audio {} lost ({}) - reconnecting to the default device", name, lossReason);
            capture.setStatus(source, "reconnecting - " + lossReason);
            sleepUnlessStopped(stop, 500);
        }
        buffer = {};
        vad = VadState{};
        device.clear();
    }

    capture.capturing[index].exchange(false);
    capture.speaking[index].exchange(false);
    capture.level[index].exchange(0.0f);
    // Never leave the promise broken, even when a stop came before the first open.
    giveFirstOpen({});
}

}  // namespace morvelin
