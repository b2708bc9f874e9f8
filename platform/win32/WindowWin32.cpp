// The bootstrap's form as a real Win32 window. Like the class library, the
// program has a zero-sized application window that carries the taskbar button
// and the application title, and owns the form.
//
// Window.h comes first: windows.h defines MB_OK, IDOK and MessageBox as
// macros, which would otherwise rewrite the layer's own declarations.
#include "platform/Window.h"

#include <windows.h>
#include <commctrl.h>

#undef MessageBox

#include <exception>
#include <utility>

namespace platform {
namespace {

constexpr UINT WMStartSetup = WM_USER + 1234;
static_assert(WMStartSetup == 2258, "the start message is WM_USER + 1234");

constexpr char FormClass[] = "TForm1";
constexpr char ApplicationClass[] = "TApplication";

// Single fixed border with a caption; no system menu, so no border icons.
constexpr DWORD FormStyle = WS_CAPTION | WS_BORDER | WS_CLIPCHILDREN;
constexpr DWORD FormExStyle = 0;

class Win32Window final : public WindowBackend {
public:
    explicit Win32Window(const std::string& applicationTitle);
    ~Win32Window() override;

    void Create(const FormDesign& design) override;
    void Show() override;
    void Hide() override;
    void Close() override;
    void SetProgressRange(int32_t min, int32_t max) override;
    void SetProgressPosition(int32_t position) override;
    void PostStartSetup() override;
    void RunMessageLoop(const std::function<void()>& onStartSetup) override;
    void ProcessMessages() override;
    void Terminate() override;
    int MessageBox(const std::string& text, const std::string& caption, uint32_t flags, bool owned) override;

private:
    static void RegisterClasses();
    static LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK ApplicationProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleFormMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void Dispatch(MSG& msg);
    void RethrowPending();

    HWND application_ = nullptr;
    HWND form_ = nullptr;
    HWND label_ = nullptr;
    HWND progress_ = nullptr;
    HFONT font_ = nullptr;
    const std::function<void()>* onStartSetup_ = nullptr;
    int deferredStarts_ = 0;
    bool destroying_ = false;
    // An exception must not unwind through the system's window procedure
    // dispatch; it is carried from the window procedure to the loop.
    std::exception_ptr pending_;
};

void Win32Window::RegisterClasses() {
    static bool registered = false;
    if (registered) return;
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA form{};
    form.cbSize = sizeof form;
    form.lpfnWndProc = &FormProc;
    form.hInstance = instance;
    form.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    form.lpszClassName = FormClass;
    WNDCLASSEXA application = form;
    application.lpfnWndProc = &ApplicationProc;
    application.hbrBackground = nullptr;
    application.lpszClassName = ApplicationClass;
    RegisterClassExA(&form);
    RegisterClassExA(&application);

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    registered = true;
}

// The form's pixels are given at 96 dpi and follow the screen's resolution.
int Scaled(int pixels, int dpi) { return MulDiv(pixels, dpi, 96); }

Win32Window::Win32Window(const std::string& applicationTitle) {
    RegisterClasses();
    const int x = GetSystemMetrics(SM_CXSCREEN) / 2, y = GetSystemMetrics(SM_CYSCREEN) / 2;
    application_ = CreateWindowExA(0, ApplicationClass, applicationTitle.c_str(),
                                   WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX, x, y, 0, 0,
                                   nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (application_) SetWindowLongPtrA(application_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Win32Window::~Win32Window() {
    destroying_ = true;
    if (form_) DestroyWindow(form_);
    if (application_) DestroyWindow(application_);
    if (font_) DeleteObject(font_);
}

void Win32Window::Create(const FormDesign& design) {
    if (form_) return;
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);

    RECT frame{0, 0, Scaled(design.ClientWidth, dpi), Scaled(design.ClientHeight, dpi)};
    AdjustWindowRectEx(&frame, FormStyle, FALSE, FormExStyle);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    const int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;

    const HINSTANCE instance = GetModuleHandleA(nullptr);
    form_ = CreateWindowExA(FormExStyle, FormClass, design.Caption.c_str(), FormStyle, left, top, width, height,
                            application_, nullptr, instance, nullptr);
    if (!form_) return;
    SetWindowLongPtrA(form_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

    font_ = CreateFontA(Scaled(design.FontHeight, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                        design.FontName.c_str());

    const Rect& l = design.LabelBounds;
    // SS_LEFT wraps at word boundaries; the label keeps its designed size.
    label_ = CreateWindowExA(0, "STATIC", design.LabelCaption.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                             Scaled(l.Left, dpi), Scaled(l.Top, dpi), Scaled(l.Width, dpi), Scaled(l.Height, dpi),
                             form_, reinterpret_cast<HMENU>(1), instance, nullptr);
    if (label_ && font_) SendMessageA(label_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);

    const Rect& p = design.ProgressBounds;
    progress_ = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, Scaled(p.Left, dpi),
                                Scaled(p.Top, dpi), Scaled(p.Width, dpi), Scaled(p.Height, dpi), form_,
                                reinterpret_cast<HMENU>(2), instance, nullptr);
    SetProgressRange(0, 100);
}

void Win32Window::Show() {
    if (application_) ShowWindow(application_, SW_SHOWNOACTIVATE);
    if (form_) ShowWindow(form_, SW_SHOWNORMAL);
}

void Win32Window::Hide() {
    if (form_) ShowWindow(form_, SW_HIDE);
    if (application_) ShowWindow(application_, SW_HIDE);
}

void Win32Window::Close() {
    if (form_) DestroyWindow(form_);  // WM_DESTROY of the main form ends the loop
}

void Win32Window::SetProgressRange(int32_t min, int32_t max) {
    // PBM_SETRANGE32: the 16-bit PBM_SETRANGE would cut the archive length.
    if (progress_) SendMessageA(progress_, PBM_SETRANGE32, static_cast<WPARAM>(min), static_cast<LPARAM>(max));
}

void Win32Window::SetProgressPosition(int32_t position) {
    if (progress_) SendMessageA(progress_, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32Window::PostStartSetup() {
    if (form_) PostMessageA(form_, WMStartSetup, 0, 0);
}

void Win32Window::RunMessageLoop(const std::function<void()>& onStartSetup) {
    const auto* outer = std::exchange(onStartSetup_, &onStartSetup);
    struct Restore {
        Win32Window* self;
        const std::function<void()>* outer;
        ~Restore() { self->onStartSetup_ = outer; }
    } restore{this, outer};

    // Start messages that arrived while nobody could handle them.
    for (; deferredStarts_ > 0; --deferredStarts_) PostStartSetup();

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) Dispatch(msg);
}

void Win32Window::ProcessMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Leave it for the loop that owns the thread's queue.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        Dispatch(msg);
    }
}

void Win32Window::Terminate() { PostQuitMessage(0); }

int Win32Window::MessageBox(const std::string& text, const std::string& caption, uint32_t flags, bool owned) {
    const HWND owner = owned && form_ ? form_ : nullptr;
    return MessageBoxA(owner, text.c_str(), caption.c_str(), flags);
}

void Win32Window::Dispatch(MSG& msg) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    RethrowPending();
}

void Win32Window::RethrowPending() {
    if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
}

LRESULT Win32Window::HandleFormMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WMStartSetup:
            if (!onStartSetup_) {
                ++deferredStarts_;
                return 0;
            }
            try {
                (*onStartSetup_)();
            } catch (...) {
                if (!pending_) pending_ = std::current_exception();
            }
            return 0;
        case WM_DESTROY:
            form_ = label_ = progress_ = nullptr;
            if (!destroying_) PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

LRESULT CALLBACK Win32Window::FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    return self ? self->HandleFormMessage(hwnd, message, wParam, lParam)
                : DefWindowProcA(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK Win32Window::ApplicationProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    // Closing the taskbar button closes the main form, as the class library does.
    if (message == WM_CLOSE && self) {
        if (self->form_) PostMessageA(self->form_, WM_CLOSE, 0, 0);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace

std::unique_ptr<WindowBackend> CreateWindowBackend(const std::string& applicationTitle) {
    return std::make_unique<Win32Window>(applicationTitle);
}

}  // namespace platform
