#pragma once
// What a capture thread needs of the sound system, and no more: open the current default
// device of its source, drain what that device recorded, and tell when the default has
// moved on. The supervising loop (audio_capture.cpp) decides everything else: retries,
// reconnects, chunking, readouts. One recorder per capture thread, used only by it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace morvelin {

class AudioRecorder {
public:
    virtual ~AudioRecorder() = default;

    // Starts recording from the current default device: the playback device's loopback for
    // a loopback recorder, else the microphone. Empty on success, else the error text (the
    // recorder is then closed).
    virtual std::string open() = 0;
    // The open device's name as the user knows it.
    virtual const std::string& deviceName() const = 0;
    // Appends the 16 kHz mono samples recorded since the last call (a gap becomes zeros).
    // The loss reason when the device failed, else an empty text.
    virtual std::string drain(std::vector<std::int16_t>& buffer) = 0;
    // The loss reason when the open device is no longer the default, else an empty text.
    virtual std::string defaultChanged() = 0;
    // Stops recording; open() may follow.
    virtual void close() = 0;
};

struct AudioRecorderResult {
    std::unique_ptr<AudioRecorder> recorder;
    std::string error;  // when there is no recorder: this thread cannot capture at all
};

// The platform's recorder (audio_capture_pulse.cpp).
AudioRecorderResult makeAudioRecorder(bool loopback);

}  // namespace morvelin
