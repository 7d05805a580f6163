#pragma once
// A private PulseAudio daemon for one test process, with two null sinks standing in for
// real hardware: "speakers" (the default sink, what a call plays on) and "mic_in", whose
// monitor remapped to mono is the default source "mic" (what a microphone would record).
// Tests play sound files into either sink and read what the program captured.
//
// The daemon's runtime, state and config folders live in a temp folder, and PULSE_SERVER
// (with the XDG folders) is set in this process's own environment for the fixture's
// lifetime, so libpulse clients inside the test process reach this daemon and no other.
// Construct the fixture before any thread that reads the environment starts.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace halvenor::test {

class PulseServer {
public:
    // Starts the daemon and waits until it answers and both null sinks deliver monitor data.
    // Throws std::runtime_error when it does not come up within 10 s.
    PulseServer();
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // "unix:{runtime folder}/native"
    const std::string& serverAddress() const { return serverAddress_; }
    // The variables that point a child process at this daemon (already set in this process).
    std::map<std::string, std::string> env() const;
    const std::filesystem::path& folder() const { return dir_.path(); }
    pid_t pid() const { return daemon_.pid(); }
    bool running() { return daemon_.running(); }

    // Kills the daemon by its PID (SIGKILL by default: the way a crash looks to clients).
    void kill(int signal = 9);
    // Starts it again on the same socket and configuration, after a kill.
    void start();
    void restart() {
        kill();
        start();
    }

    // Runs "pactl ARGS..." against this daemon.
    CommandResult pactl(const std::vector<std::string>& args);
    // Loads a module and returns its index; throws std::runtime_error when pactl refuses.
    int loadModule(const std::string& name, const std::string& arguments = {});
    bool unloadModule(int index);
    // Index of the module-null-sink that created the named sink, or nullopt.
    std::optional<int> sinkModule(const std::string& sink);
    // Adds a null sink with a description and makes its monitor deliver data at once.
    // Returns the module index.
    int addSink(const std::string& name, const std::string& description);
    // Adds a null source (a microphone that hears silence). Returns the module index.
    int addSource(const std::string& name, const std::string& description);

    // Plays a sound file into a sink and returns when it has been played (paplay's exit code).
    int play(const std::filesystem::path& file, const std::string& sink = "speakers");
    // Starts playing and returns at once; the Subprocess stops the playback when destroyed.
    Subprocess playInBackground(const std::filesystem::path& file,
                                const std::string& sink = "speakers");

    // A WAV file of the text spoken by espeak-ng (22050 Hz mono), made once per text.
    std::filesystem::path makeSpeech(const std::string& text);
    // A WAV file of a sine tone, 16 kHz mono, at the given peak level in dB full scale.
    std::filesystem::path makeTone(double frequencyHz, double seconds, double peakDb = -6.0);

    // Records a source as 16 kHz mono s16 for the duration; `started` runs once the
    // recording delivers its first bytes (for example to start a playback).
    std::vector<std::int16_t> record(const std::string& source, std::chrono::milliseconds duration,
                                     const std::function<void()>& started = {});

private:
    void launchDaemon();
    void startKeepAlive(const std::string& sink);
    void wakeSinks(const std::vector<std::string>& sinks);

    TempDir dir_;
    std::string serverAddress_;
    std::vector<std::unique_ptr<ScopedEnv>> environment_;
    std::filesystem::path configFile_;
    Subprocess daemon_;
    std::vector<Subprocess> keepAlive_;
    int fileCounter_ = 0;
};

// Root mean square level of samples in dB full scale (-140 for silence).
double rmsDb(std::span<const std::int16_t> samples);

}  // namespace halvenor::test
