// The bootstrap's form as a real Win32 window. Like the class library, the
// program has a zero-sized application window that carries the taskbar button
// and the application title, and owns the form.
//
// Window.h comes first: windows.h defines MB_OK, IDOK and MessageBox as
// macros, which would otherwise rewrite the layer's own declarations.
#include "../Window.h"

#include <windows.h>
#include <commctrl.h>

#undef MessageBox

#include <exception>
#include <utility>

namespace quern {

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
    void Layout(int dpi, const RECT* placement);

    FormDesign design_;
    int dpi_ = 96;
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

// Windows 10 (1607) and later tell a per-monitor aware window its monitor's
// dpi; the systems before have one dpi for all, the screen's.
template <typename Function>
Function User32Function(const char* name) {
    const FARPROC address = GetProcAddress(GetModuleHandleA("user32.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

int WindowDpi(HWND hwnd) {
    static const auto getDpiForWindow = User32Function<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
    if (getDpiForWindow && hwnd) {
        if (const UINT dpi = getDpiForWindow(hwnd)) return static_cast<int>(dpi);
    }
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

// The frame around a client area at the given dpi (the caption's height
// follows the monitor's dpi too).
RECT FrameFor(int clientWidth, int clientHeight, int dpi) {
    static const auto adjustForDpi =
        User32Function<BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
    RECT frame{0, 0, clientWidth, clientHeight};
    if (!adjustForDpi || !adjustForDpi(&frame, FormStyle, FALSE, FormExStyle, static_cast<UINT>(dpi)))
        AdjustWindowRectEx(&frame, FormStyle, FALSE, FormExStyle);
    return frame;
}

// WM_DPICHANGED, which older headers do not name.
constexpr UINT WMDpiChanged = 0x02E0;

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
    design_ = design;
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    form_ = CreateWindowExA(FormExStyle, FormClass, design.Caption.c_str(), FormStyle, 0, 0, 0, 0, application_,
                            nullptr, instance, nullptr);
    if (!form_) return;
    SetWindowLongPtrA(form_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

    // SS_LEFT wraps at word boundaries; the label keeps its designed size
    // unless its text would not fit (see Layout).
    label_ = CreateWindowExA(0, "STATIC", design.LabelCaption.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                             0, 0, 0, 0, form_, reinterpret_cast<HMENU>(1), instance, nullptr);
    progress_ = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, form_,
                                reinterpret_cast<HMENU>(2), instance, nullptr);
    SetProgressRange(0, 100);
    Layout(WindowDpi(form_), nullptr);
}

// Sizes the form, its controls and its font from the 96-dpi design for `dpi`,
// centred on the screen or, when the monitor's dpi changed, at `placement`.
// The font keeps its point size. Should the wrapped caption need more lines
// at this dpi than the design's height holds (fonts do not scale in exact
// steps), the label, and the form below it, grow so nothing is clipped.
void Win32Window::Layout(int dpi, const RECT* placement) {
    dpi_ = dpi;
    const int points = MulDiv(-design_.FontHeight, 72, 96);  // -11 pixels at 96 dpi: 8 pt
    const HFONT font = CreateFontA(-MulDiv(points, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                   DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                   DEFAULT_PITCH | FF_DONTCARE, design_.FontName.c_str());

    const Rect& l = design_.LabelBounds;
    const Rect& p = design_.ProgressBounds;
    RECT text{0, 0, Scaled(l.Width, dpi), 0};
    int labelHeight = Scaled(l.Height, dpi);
    if (const HDC dc = GetDC(label_)) {
        const HGDIOBJ old = SelectObject(dc, font ? font : GetStockObject(DEFAULT_GUI_FONT));
        DrawTextA(dc, design_.LabelCaption.c_str(), static_cast<int>(design_.LabelCaption.size()), &text,
                  DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
        SelectObject(dc, old);
        ReleaseDC(label_, dc);
    }
    const int grow = text.bottom > labelHeight ? text.bottom - labelHeight : 0;
    labelHeight += grow;

    const int clientWidth = Scaled(design_.ClientWidth, dpi), clientHeight = Scaled(design_.ClientHeight, dpi) + grow;
    const RECT frame = FrameFor(clientWidth, clientHeight, dpi);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    const int left = placement ? placement->left : (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int top = placement ? placement->top : (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    SetWindowPos(form_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    // The frame actually drawn decides: correct by what the client area missed.
    RECT client{};
    if (GetClientRect(form_, &client) && (client.right != clientWidth || client.bottom != clientHeight))
        SetWindowPos(form_, nullptr, 0, 0, width + clientWidth - client.right, height + clientHeight - client.bottom,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    MoveWindow(label_, Scaled(l.Left, dpi), Scaled(l.Top, dpi), Scaled(l.Width, dpi), labelHeight, TRUE);
    MoveWindow(progress_, Scaled(p.Left, dpi), Scaled(p.Top, dpi) + grow, Scaled(p.Width, dpi),
               Scaled(p.Height, dpi), TRUE);

    if (!font) return;  // the label keeps the font it has
    if (label_) SendMessageA(label_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (font_) DeleteObject(font_);
    font_ = font;
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
        case WMDpiChanged:
            // The form moved to a monitor of another dpi (per-monitor awareness).
            if (const int dpi = LOWORD(wParam); dpi > 0 && dpi != dpi_) Layout(dpi, reinterpret_cast<RECT*>(lParam));
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

}  // namespace quern
