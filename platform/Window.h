// The window layer: what the bootstrap's one form needs of a windowing
// system. platform/win32 draws a real Win32 window; platform/posix renders
// the same form on the terminal; tests use a recording double.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quern {

namespace platform {

struct Rect {
    int Left, Top, Width, Height;
};

// The form as its resource describes it (pixels at 96 dpi).
struct FormDesign {
    std::string Caption;
    int ClientWidth = 0, ClientHeight = 0;
    std::string FontName;
    int FontHeight = 0;  // negative: character height in pixels (-11 is 8 pt at 96 dpi)
    Rect LabelBounds{};
    std::string LabelCaption;  // word-wrapped, no auto-size
    Rect ProgressBounds{};
};

// Message box flags, Win32 values.
constexpr uint32_t MB_OK = 0x00;
constexpr uint32_t MB_ICONERROR = 0x10;
constexpr int IDOK = 1;

class WindowBackend {
public:
    virtual ~WindowBackend() = default;

    // Builds the window, hidden, centred on the screen, with a single fixed
    // border and no border icons; the progress bar accepts 32-bit ranges.
    virtual void Create(const FormDesign& design) = 0;
    virtual void Show() = 0;
    virtual void Hide() = 0;
    // Closes the main window; the message loop ends.
    virtual void Close() = 0;
    virtual void SetProgressRange(int32_t min, int32_t max) = 0;
    virtual void SetProgressPosition(int32_t position) = 0;

    // Queues the private start message (WM_STARTSETUP, wParam 0, lParam 0);
    // RunMessageLoop delivers it to the handler once the window is shown.
    virtual void PostStartSetup() = 0;
    // Runs the message loop until Close or Terminate; onStartSetup is called
    // from the loop for each start message. Exceptions from it propagate.
    virtual void RunMessageLoop(const std::function<void()>& onStartSetup) = 0;
    // Processes all pending messages and returns.
    virtual void ProcessMessages() = 0;
    // Ends the message loop at its next turn.
    virtual void Terminate() = 0;

    // A modal message box owned by the window (ownerless when `owned` is false).
    virtual int MessageBox(const std::string& text, const std::string& caption, uint32_t flags,
                           bool owned = true) = 0;
};

// The backend of this platform. `applicationTitle` is the taskbar title.
std::unique_ptr<WindowBackend> CreateWindowBackend(const std::string& applicationTitle);

}  // namespace platform

}  // namespace quern
