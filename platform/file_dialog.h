#pragma once
// The desktop's open-file dialog, run as a child process (zenity, else kdialog) so that the
// HUD keeps drawing and answering hotkeys while it is open, and opening a file in the user's
// default application. UI thread only.
//
// A dialog opened for the HUD belongs to it (the window manager keeps it above the HUD), and
// the HUD steps down from the above layer while it is up: the dialog program's window maps in
// the ordinary layer, where an above HUD would cover it. The HUD goes back above when the
// dialog ends, however it ends.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace morvelin {

class OverlayWindow;

class FileDialog {
public:
    struct Filter {
        std::string name;                   // "Text documents (*.txt;*.md)"
        std::vector<std::string> patterns;  // "*.txt", "*.md"
    };
    enum class Poll { Idle, Running, Chosen, Cancelled, Failed };

    FileDialog() = default;
    ~FileDialog();  // ends a dialog still open
    FileDialog(const FileDialog&) = delete;
    FileDialog& operator=(const FileDialog&) = delete;

    // Opens the dialog (the first filter selected), belonging to `owner` when given (which
    // must outlive the dialog). Empty on success, else the error text, e.g. when no dialog
    // program is installed. A dialog already open is ended first.
    std::string open(const std::string& title, const std::vector<Filter>& filters,
                     OverlayWindow* owner = nullptr);
    // Never blocks. Chosen (path set), Cancelled or Failed once, when the dialog has ended;
    // Running while it is open; Idle when none is open. Both programs cancel with status 1;
    // any other end without a path is a failure.
    Poll poll(std::filesystem::path& chosen);
    // After Failed: the program and how it ended ("zenity ended with status 255").
    const std::string& failure() const { return failure_; }
    bool isOpen() const { return pid_ > 0; }
    // Ends the dialog now, if one is open, and puts its owner back above.
    void close();

    // The programs tried in order; tests point this elsewhere.
    std::vector<std::string> programs{"zenity", "kdialog"};

private:
    using Clock = std::chrono::steady_clock;

    pid_t pid_ = -1;
    std::string program_;             // the one running
    OverlayWindow* owner_ = nullptr;  // stepped down from the above layer while set
    bool adopted_ = false;            // the dialog's window made the owner's
    Clock::time_point openedAt_{};
    Clock::time_point nextSearch_{};  // for the dialog's window
    std::string failure_;
    int outputFd_ = -1;
    std::string output_;
};

// Opens the file with the desktop's default application (xdg-open), without waiting for it.
// Empty on success, else the error text.
std::string openWithDefaultApp(const std::filesystem::path& file);

}  // namespace morvelin
