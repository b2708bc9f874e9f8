// The form rendered on a terminal: the caption, the wrapped message and a
// progress bar that redraws in place when standard output is a terminal; a
// few plain lines when it is not. Message boxes go to standard error.
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <sstream>

#include <quern/Platform.h>
#include "../Window.h"

namespace quern {

namespace platform {
namespace {

constexpr int kTextWidth = 64;
constexpr int kBarWidth = 40;

std::string Wrap(const std::string& text, int width) {
    std::istringstream words(text);
    std::string word, line, out;
    while (words >> word) {
        if (!line.empty() && static_cast<int>(line.size() + 1 + word.size()) > width) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty()) out += line + "\n";
    return out;
}

class TerminalWindow final : public WindowBackend {
public:
    explicit TerminalWindow(std::string title) : title_(std::move(title)), tty_(isatty(STDOUT_FILENO) == 1) {}

    void Create(const FormDesign& design) override { design_ = design; }

    void Show() override {
        if (visible_) return;
        visible_ = true;
        std::printf("%s\n%s", design_.Caption.c_str(), Wrap(design_.LabelCaption, kTextWidth).c_str());
        lastShown_ = -1;
        Draw();
    }

    void Hide() override {
        if (!visible_) return;
        if (tty_ && barOnScreen_) std::printf("\n");
        barOnScreen_ = false;
        visible_ = false;
        std::fflush(stdout);
    }

    void Close() override {
        Hide();
        closed_ = true;
    }

    void SetProgressRange(int32_t min, int32_t max) override {
        min_ = min;
        max_ = max;
        Draw();
    }

    void SetProgressPosition(int32_t position) override {
        position_ = position;
        Draw();
    }

    void PostStartSetup() override { queue_.push_back(1); }

    void RunMessageLoop(const std::function<void()>& onStartSetup) override {
        while (!closed_ && !terminated_) {
            if (!queue_.empty()) {
                queue_.pop_front();
                onStartSetup();
                continue;
            }
            // Nothing can post to a terminal form: wait until closed from outside.
            SleepMilliseconds(100);
        }
        Hide();
    }

    void ProcessMessages() override { std::fflush(stdout); }

    void Terminate() override { terminated_ = true; }

    int MessageBox(const std::string& text, const std::string& caption, uint32_t, bool) override {
        if (tty_ && barOnScreen_) std::printf("\n");
        barOnScreen_ = false;
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return IDOK;
    }

private:
    int Percent() const {
        if (max_ <= min_) return 0;
        const int64_t p = (static_cast<int64_t>(position_) - min_) * 100 / (static_cast<int64_t>(max_) - min_);
        return static_cast<int>(p < 0 ? 0 : p > 100 ? 100 : p);
    }

    void Draw() {
        if (!visible_) return;
        const int percent = Percent();
        if (tty_) {
            if (percent == lastShown_) return;
            const int filled = percent * kBarWidth / 100;
            std::printf("\r[%s%s] %3d%%", std::string(static_cast<size_t>(filled), '#').c_str(),
                        std::string(static_cast<size_t>(kBarWidth - filled), ' ').c_str(), percent);
            barOnScreen_ = true;
        } else {
            // Quiet output for logs: the start and each quarter.
            if (lastShown_ >= 0 && percent / 25 == lastShown_ / 25) return;
            std::printf("%d%%\n", percent);
        }
        lastShown_ = percent;
        std::fflush(stdout);
    }

    std::string title_;
    bool tty_;
    FormDesign design_;
    bool visible_ = false, closed_ = false, terminated_ = false, barOnScreen_ = false;
    int32_t min_ = 0, max_ = 100, position_ = 0;
    int lastShown_ = -1;
    std::deque<int> queue_;
};

}  // namespace

std::unique_ptr<WindowBackend> CreateWindowBackend(const std::string& applicationTitle) {
    return std::make_unique<TerminalWindow>(applicationTitle);
}

}  // namespace platform

}  // namespace quern
