#include "tests/platform/DialogCloser.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#endif

namespace testing_support {

#ifdef _WIN32

struct DialogCloser::State {
    DWORD thread = GetCurrentThreadId();
    std::atomic<bool> stop{false};
    mutable std::mutex lock;
    std::vector<SeenDialog> seen;
    std::set<HWND> answered;
    std::thread watcher;

    static std::string TextOf(HWND hwnd) {
        char text[1024] = {};
        GetWindowTextA(hwnd, text, sizeof text);
        return text;
    }

    static BOOL CALLBACK FindStaticText(HWND child, LPARAM out) {
        char cls[32] = {};
        GetClassNameA(child, cls, sizeof cls);
        std::string text = TextOf(child);
        if (lstrcmpiA(cls, "Static") == 0 && !text.empty()) {
            *reinterpret_cast<std::string*>(out) = text;
            return FALSE;
        }
        return TRUE;
    }

    static BOOL CALLBACK Answer(HWND hwnd, LPARAM self) {
        auto* s = reinterpret_cast<State*>(self);
        char cls[32] = {};
        GetClassNameA(hwnd, cls, sizeof cls);
        if (std::string(cls) != "#32770" || !IsWindowVisible(hwnd)) return TRUE;
        std::lock_guard<std::mutex> guard(s->lock);
        if (!s->answered.insert(hwnd).second) return TRUE;
        SeenDialog d;
        d.Caption = TextOf(hwnd);
        EnumChildWindows(hwnd, &FindStaticText, reinterpret_cast<LPARAM>(&d.Text));
        d.Owner = reinterpret_cast<intptr_t>(GetWindow(hwnd, GW_OWNER));
        s->seen.push_back(d);
        PostMessageA(hwnd, WM_COMMAND, IDOK, 0);
        return TRUE;
    }
};

DialogCloser::DialogCloser(Scope scope) : state_(std::make_unique<State>()) {
    State* s = state_.get();
    s->watcher = std::thread([s, scope] {
        while (!s->stop) {
            if (scope == AllProcesses)
                EnumWindows(&State::Answer, reinterpret_cast<LPARAM>(s));
            else
                EnumThreadWindows(s->thread, &State::Answer, reinterpret_cast<LPARAM>(s));
            Sleep(20);
        }
    });
}

DialogCloser::~DialogCloser() {
    state_->stop = true;
    state_->watcher.join();
}

std::vector<SeenDialog> DialogCloser::Seen() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->seen;
}

#else

struct DialogCloser::State {};
DialogCloser::DialogCloser(Scope) {}
DialogCloser::~DialogCloser() = default;
std::vector<SeenDialog> DialogCloser::Seen() const { return {}; }

#endif

}  // namespace testing_support
