#include "tests/support/pulse_server.h"

#include <cmath>
#include <csignal>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace halvenor::test {
namespace {

using namespace std::chrono_literals;

// Null sinks have no hardware clock to wait for, so any description works; ours are
// distinct so that tests can tell from a status text which device was opened.
constexpr const char* kConfig =
    "load-module module-native-protocol-unix auth-anonymous=1\n"
    "load-module module-null-sink sink_name=speakers sink_properties=device.description=Speakers\n"
    "load-module module-null-sink sink_name=mic_in sink_properties=device.description=Mic-input\n"
    "load-module module-remap-source source_name=mic master=mic_in.monitor channels=1 "
    "channel_map=mono source_properties=device.description=Headset-microphone\n"
    "set-default-sink speakers\n"
    "set-default-source mic\n";

int countLines(const std::string& text) {
    int lines = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            ++lines;
    return lines;
}

}  // namespace

PulseServer::PulseServer() : dir_("halvenor-pulse") {
    const auto runtime = dir_ / "runtime";
    const auto state = dir_ / "state";
    const auto config = dir_ / "config";
    for (const auto& folder : {runtime, state, config / "pulse"}) {
        std::filesystem::create_directories(folder);
        // The daemon keeps its folders private to its user; make them so from the start.
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    }
    // Clients must never spawn a daemon of their own when ours is down (a test kills it).
    writeFile(config / "pulse" / "client.conf", "autospawn = no\n");
    configFile_ = dir_ / "test.pa";
    writeFile(configFile_, kConfig);
    serverAddress_ = "unix:" + (runtime / "native").string();
    for (const auto& [name, value] : env())
        environment_.push_back(std::make_unique<ScopedEnv>(name, value.c_str()));
    start();
}

PulseServer::~PulseServer() {
    keepAlive_.clear();
    daemon_.stop(SIGTERM);
}

std::map<std::string, std::string> PulseServer::env() const {
    return {{"PULSE_RUNTIME_PATH", (dir_ / "runtime").string()},
            {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()},
            {"PULSE_STATE_PATH", (dir_ / "state").string()},
            {"XDG_CONFIG_HOME", (dir_ / "config").string()},
            {"PULSE_SERVER", serverAddress_}};
}

void PulseServer::launchDaemon() {
    SpawnOptions options;
    options.quiet = true;
    options.env = env();
    // Run as root (as in CI containers) the daemon only warns. Real-time scheduling and a
    // raised nice level are turned off: several test daemons run side by side and must
    // not starve the tests that drive them.
    daemon_ =
        Subprocess({"pulseaudio", "-n", "-F", configFile_.string(), "--daemonize=no",
                    "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no", "--realtime=no",
                    "--high-priority=no", "--log-target=file:" + (dir_ / "daemon.log").string()},
                   options);
    // Until the socket is up pactl fails loudly; ask through a shell that keeps it quiet.
    const bool answers = waitUntil(
        [&] {
            return !daemon_.running() ||
                   runCommand({"sh", "-c", "pactl info >/dev/null 2>&1"}, 10s, env()).exitCode == 0;
        },
        10s);
    if (!answers || !daemon_.running()) {
        daemon_.stop();
        throw std::runtime_error("PulseServer: the daemon did not start; see " +
                                 (dir_ / "daemon.log").string());
    }
}

void PulseServer::start() {
    launchDaemon();
    startKeepAlive("speakers");
    startKeepAlive("mic_in");
    wakeSinks({"speakers", "mic_in"});
}

void PulseServer::kill(int signal) {
    keepAlive_.clear();
    daemon_.stop(signal);
}

void PulseServer::startKeepAlive(const std::string& sink) {
    // A null sink that nobody has recorded from delivers no monitor data for up to 2 s
    // after a stream opens; a low-latency reader that stays connected keeps it rendering
    // in small blocks, so a capture stream gets data at once.
    const int before = countLines(pactl({"list", "short", "source-outputs"}).output);
    SpawnOptions options;
    options.quiet = true;
    keepAlive_.emplace_back(
        std::vector<std::string>{"parec", "--latency-msec=20", "-d", sink + ".monitor", "--raw"},
        options);
    waitUntil(
        [&] {
            return countLines(pactl({"list", "short", "source-outputs"}).output) > before;
        },
        5s);
}

void PulseServer::wakeSinks(const std::vector<std::string>& sinks) {
    for (const auto& sink : sinks) {
        pactl({"suspend-sink", sink, "1"});
        pactl({"suspend-sink", sink, "0"});
    }
}

CommandResult PulseServer::pactl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv, 10s, env());
}

int PulseServer::loadModule(const std::string& name, const std::string& arguments) {
    std::vector<std::string> args{"load-module", name};
    std::istringstream words(arguments);
    for (std::string word; words >> word;)
        args.push_back(word);
    const auto result = pactl(args);
    if (result.exitCode != 0)
        throw std::runtime_error("PulseServer: cannot load " + name + " " + arguments);
    return std::stoi(result.output);
}

bool PulseServer::unloadModule(int index) {
    return pactl({"unload-module", std::to_string(index)}).exitCode == 0;
}

std::optional<int> PulseServer::sinkModule(const std::string& sink) {
    std::istringstream lines(pactl({"list", "short", "modules"}).output);
    const std::string wanted = "sink_name=" + sink;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("module-null-sink") == std::string::npos)
            continue;
        const auto at = line.find(wanted);
        if (at == std::string::npos)
            continue;
        const auto end = at + wanted.size();
        if (end < line.size() && line[end] != ' ' && line[end] != '\t')
            continue;
        return std::stoi(line);
    }
    return std::nullopt;
}

int PulseServer::addSink(const std::string& name, const std::string& description) {
    const int index =
        loadModule("module-null-sink",
                   "sink_name=" + name + " sink_properties=device.description=" + description);
    startKeepAlive(name);
    wakeSinks({name});
    return index;
}

int PulseServer::addSource(const std::string& name, const std::string& description) {
    return loadModule("module-null-source", "source_name=" + name + " description=" + description);
}

int PulseServer::play(const std::filesystem::path& file, const std::string& sink) {
    return runCommand({"paplay", "-d", sink, file.string()}, 60s, env()).exitCode;
}

Subprocess PulseServer::playInBackground(const std::filesystem::path& file,
                                         const std::string& sink) {
    SpawnOptions options;
    options.quiet = true;
    options.env = env();
    return Subprocess({"paplay", "-d", sink, file.string()}, options);
}

std::filesystem::path PulseServer::makeSpeech(const std::string& text) {
    const auto file = dir_ / ("speech-" + std::to_string(++fileCounter_) + ".wav");
    if (runCommand({"espeak-ng", "-w", file.string(), text}, 30s).exitCode != 0)
        throw std::runtime_error("PulseServer: espeak-ng failed");
    return file;
}

std::filesystem::path PulseServer::makeTone(double frequencyHz, double seconds, double peakDb) {
    const auto file = dir_ / ("tone-" + std::to_string(++fileCounter_) + ".wav");
    const auto result =
        runCommand({"sox", "-n", "-r", "16000", "-c", "1", "-b", "16", file.string(), "synth",
                    std::to_string(seconds), "sine", std::to_string(frequencyHz), "vol",
                    std::to_string(std::pow(10.0, peakDb / 20.0))},
                   30s);
    if (result.exitCode != 0)
        throw std::runtime_error("PulseServer: sox failed");
    return file;
}

std::vector<std::int16_t> PulseServer::record(const std::string& source,
                                              std::chrono::milliseconds duration,
                                              const std::function<void()>& started) {
    SpawnOptions options;
    options.captureStdout = true;
    options.env = env();
    Subprocess recorder({"parec", "--latency-msec=20", "-d", source, "--format=s16le",
                         "--rate=16000", "--channels=1", "--raw"},
                        options);
    std::string bytes;
    auto deadline = std::chrono::steady_clock::now() + 5s;  // for the first bytes
    bool running = false;
    while (std::chrono::steady_clock::now() < deadline) {
        bytes += recorder.readStdout(20ms);
        if (!running && !bytes.empty()) {
            running = true;
            deadline = std::chrono::steady_clock::now() + duration;
            if (started)
                started();
        }
    }
    recorder.stop();
    std::vector<std::int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

double rmsDb(std::span<const std::int16_t> samples) {
    double sum = 0;
    for (const auto s : samples)
        sum += static_cast<double>(s) * s;
    const double meanSquare = samples.empty() ? 0 : sum / static_cast<double>(samples.size());
    if (meanSquare <= 0)
        return -140;
    return 10 * std::log10(meanSquare / (32768.0 * 32768.0));
}

}  // namespace halvenor::test
