// A window backend that records what the program does with its window, so
// the driver's flows can be checked without a screen.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/Window.h"

using namespace quern;

namespace testing_support {

class RecordingWindow final : public platform::WindowBackend {
public:
    struct Box {
        std::string Text, Caption;
        uint32_t Flags;
        bool Owned;
    };
    struct Record {
        platform::FormDesign Design;
        bool Created = false, Shown = false, Hidden = false, Closed = false, Terminated = false;
        int32_t Min = 0, Max = 100;
        std::vector<int32_t> Positions;     // every SetProgressPosition
        std::vector<int32_t> MaxHistory;    // every range change's Max
        std::vector<Box> Boxes;
        int ProcessMessagesCalls = 0;
        int StartMessagesPosted = 0;
        std::vector<std::string> Events;    // "show", "hide", "close", "box", ... in order
    };

    // The record lives outside the backend so a test can read it after the
    // application has taken ownership of the backend.
    explicit RecordingWindow(Record& record) : r_(record) {}

    void Create(const platform::FormDesign& design) override {
        r_.Design = design;
        r_.Created = true;
    }
    void Show() override { r_.Shown = true; r_.Events.push_back("show"); }
    void Hide() override { r_.Hidden = true; r_.Events.push_back("hide"); }
    void Close() override { r_.Closed = true; r_.Events.push_back("close"); }
    void SetProgressRange(int32_t min, int32_t max) override {
        r_.Min = min;
        r_.Max = max;
        r_.MaxHistory.push_back(max);
    }
    void SetProgressPosition(int32_t position) override { r_.Positions.push_back(position); }
    void PostStartSetup() override {
        ++r_.StartMessagesPosted;
        queue_.push_back(1);
    }
    void RunMessageLoop(const std::function<void()>& onStartSetup) override {
        // Deliver what was posted; a real loop would then wait for more, which
        // a test cannot: ending here with the window still open is recorded.
        while (!queue_.empty() && !r_.Closed && !r_.Terminated) {
            queue_.pop_front();
            onStartSetup();
        }
        r_.Events.push_back(r_.Closed || r_.Terminated ? "loop-ended" : "loop-idle");
    }
    void ProcessMessages() override { ++r_.ProcessMessagesCalls; }
    void Terminate() override { r_.Terminated = true; r_.Events.push_back("terminate"); }
    int MessageBox(const std::string& text, const std::string& caption, uint32_t flags, bool owned) override {
        r_.Boxes.push_back({text, caption, flags, owned});
        r_.Events.push_back("box");
        return platform::IDOK;
    }

private:
    Record& r_;
    std::deque<int> queue_;
};

}  // namespace testing_support
