// The PulseAudio recorder behind AudioCapture (also served by PipeWire's PulseAudio server).
// Only PulseAudio calls live here; the capture threads' loop is in audio_capture.cpp.
//
// Each capture thread owns its own pa_mainloop and, per device open, a context and a
// record stream of s16le / 16000 Hz / mono; the server converts from the device's own
// format. The "system audio" source records the monitor of the default sink, the
// microphone records the default source unless that is itself a monitor (then there is no
// microphone). Streams are opened with PA_STREAM_DONT_MOVE: when a device goes away the
// server fails our stream instead of silently moving it elsewhere, and we reopen on the
// current default ourselves, exactly as after a default-device change.
//
// The main loop is never left to block: the capture thread wakes every 10 ms and drains,
// which dispatches what has arrived, so stop requests, reconnect requests and the
// once-a-second default-device check all run on the same simple schedule.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "audio/audio_recorder.h"
#include "base/error_text.h"

namespace morvelin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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

// Fills DeviceInfo from a sink's or a source's description; the end of the list (or no
// such device) marks it answered.
template <typename Info>
void onDeviceInfo(pa_context*, const Info* i, int eol, void* data) {
    auto& result = *static_cast<DeviceInfo*>(data);
    if (eol != 0 || !i) {
        result.answered = true;
        return;
    }
    result.found = true;
    result.description = i->description ? i->description : i->name;
    if constexpr (std::is_same_v<Info, pa_sink_info>)
        result.monitorSource = i->monitor_source_name ? i->monitor_source_name : "";
    else
        result.isMonitor = i->monitor_of_sink != PA_INVALID_INDEX;
}

// Looks up a sink or source by name. A name the server does not know gives found = false.
std::string queryDevice(pa_mainloop* loop, pa_context* context, bool sink, const std::string& name,
                        DeviceInfo& info) {
    pa_operation* raw = sink ? pa_context_get_sink_info_by_name(context, name.c_str(),
                                                                &onDeviceInfo<pa_sink_info>, &info)
                             : pa_context_get_source_info_by_name(
                                   context, name.c_str(), &onDeviceInfo<pa_source_info>, &info);
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
std::string drainStream(pa_mainloop* loop, DeviceState& device, std::vector<std::int16_t>& buffer) {
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

class PulseRecorder final : public AudioRecorder {
public:
    PulseRecorder(MainloopPtr loop, bool loopback) : loop_(std::move(loop)), loopback_(loopback) {}
    ~PulseRecorder() override { device_.clear(); }

    std::string open() override {
        device_.clear();
        std::string error = openDevice(loop_.get(), loopback_, device_);
        if (!error.empty())
            device_.clear();
        return error;
    }
    const std::string& deviceName() const override { return device_.name; }
    std::string drain(std::vector<std::int16_t>& buffer) override {
        return drainStream(loop_.get(), device_, buffer);
    }
    std::string defaultChanged() override {
        return checkDefaultDevice(loop_.get(), device_, loopback_);
    }
    void close() override { device_.clear(); }

private:
    MainloopPtr loop_;
    bool loopback_;
    DeviceState device_;  // released before the main loop it runs on
};

}  // namespace

AudioRecorderResult makeAudioRecorder(bool loopback) {
    MainloopPtr loop(pa_mainloop_new());
    if (!loop)
        return {nullptr, pulseFailure("pa_mainloop_new", PA_ERR_INTERNAL)};
    return {std::make_unique<PulseRecorder>(std::move(loop), loopback), {}};
}

}  // namespace morvelin
