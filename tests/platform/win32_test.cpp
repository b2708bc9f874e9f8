// Windows-only checks of the platform layer, made with the system's own
// queries: the real form window, the private directory's access list and the
// profile-string service.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <quern/Exceptions.h>
#include <quern/Platform.h>
#include "platform/Window.h"
#include "setup/SetupUnit.h"
#include "tests/platform/DialogCloser.h"
#include "tests/support/TestSupport.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <utility>

// The layer's names that windows.h would rewrite into its own ...A calls.
#undef MessageBox
#undef WriteProfileString

using namespace quern;

using namespace testing_support;

namespace {

// The caption the form must show; the design itself is the bootstrap's own,
// so the window is checked against what ships.
const char* const LabelText =
    "Please wait while Quillset prepares the Quillset Installation Wizard to guide you through the rest of the "
    "installation process.";

int ScreenDpi() {
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

std::string WindowText(HWND hwnd) {
    char text[512] = {};
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
}

// A shown form; the message loop is left clean (no quit message queued) when
// the test ends.
struct ShownForm {
    std::unique_ptr<platform::WindowBackend> backend = platform::CreateWindowBackend("Quillset Setup Utility");
    HWND hwnd = nullptr;
    ShownForm() {
        backend->Create(SetupFormDesign());
        backend->Show();
        hwnd = FindWindowA("TForm1", "Setup");
    }
};

// Where the form's parts lie at the moment, in its client coordinates.
struct FormGeometry {
    SIZE client{};
    RECT label{}, bar{};
    SIZE text{};  // the caption wrapped at the label's width, in the label's font
    LONG fontHeight = 0;
};

FormGeometry Measure(HWND form) {
    FormGeometry g;
    RECT client{};
    GetClientRect(form, &client);
    g.client = {client.right, client.bottom};
    const HWND label = FindWindowExA(form, nullptr, "STATIC", nullptr);
    const HWND bar = FindWindowExA(form, nullptr, PROGRESS_CLASSA, nullptr);
    for (auto [hwnd, rect] : {std::pair{label, &g.label}, std::pair{bar, &g.bar}}) {
        GetWindowRect(hwnd, rect);
        MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(rect), 2);
    }
    const auto font = reinterpret_cast<HFONT>(SendMessageA(label, WM_GETFONT, 0, 0));
    LOGFONTA logFont{};
    if (font && GetObjectA(font, sizeof logFont, &logFont)) g.fontHeight = logFont.lfHeight;
    // As the static control draws SS_LEFT text: word-wrapped, tabs expanded.
    const std::string text = WindowText(label);
    RECT bounds{0, 0, g.label.right - g.label.left, 0};
    const HDC dc = GetDC(label);
    const HGDIOBJ old = SelectObject(dc, font);
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &bounds,
              DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    g.text = {bounds.right, bounds.bottom};
    return g;
}

// The form at `dpi`: its 96-dpi design scaled, the font 8 pt at that dpi, and
// the label's text wholly inside the label. Only when the text needs more
// lines than the design holds does the label (and the form below it) grow.
void ExpectScaledFor(HWND form, int dpi) {
    const FormGeometry g = Measure(form);
    const auto scaled = [dpi](int pixels) { return MulDiv(pixels, dpi, 96); };
    EXPECT_EQ(g.fontHeight, -MulDiv(8, dpi, 72));
    EXPECT_LE(g.text.cx, g.label.right - g.label.left) << "the caption is clipped at " << dpi << " dpi";
    EXPECT_LE(g.text.cy, g.label.bottom - g.label.top) << "the caption is clipped at " << dpi << " dpi";
    const LONG grow = g.label.bottom - g.label.top - scaled(41);
    EXPECT_GE(grow, 0);
    if (grow > 0) {
        EXPECT_GT(g.text.cy, scaled(41)) << "the label grew although its text fitted";
    }
    EXPECT_EQ(g.client.cx, scaled(312));
    EXPECT_EQ(g.client.cy, scaled(81) + grow);
    EXPECT_EQ(g.label.left, scaled(8));
    EXPECT_EQ(g.label.top, scaled(6));
    EXPECT_EQ(g.label.right - g.label.left, scaled(304));
    EXPECT_EQ(g.bar.left, scaled(9));
    EXPECT_EQ(g.bar.top, scaled(51) + grow);
    EXPECT_EQ(g.bar.right - g.bar.left, scaled(294));
    EXPECT_EQ(g.bar.bottom - g.bar.top, scaled(22));
    EXPECT_LE(g.label.bottom, g.bar.top);
    if (dpi == 144 && grow == 0) {
        EXPECT_EQ((std::pair{g.client.cx, g.client.cy}), (std::pair{468L, 122L}));
    }
}

}  // namespace

// The Windows test run repeats this under Wine at 96 and at 144 dpi (Wine's
// LogPixels), naming the dpi it set in QUERN_EXPECT_DPI.
TEST(Win32Window, ScalesItsDesignToTheScreenDpiWithoutClippingTheCaption) {
    ShownForm form;
    ASSERT_NE(form.hwnd, nullptr);
    const int dpi = ScreenDpi();
    if (const char* expected = std::getenv("QUERN_EXPECT_DPI")) {
        ASSERT_EQ(dpi, std::atoi(expected)) << "Wine's LogPixels did not take effect";
    }
    ExpectScaledFor(form.hwnd, dpi);
}

// Moved to a monitor of another dpi, a per-monitor aware window is told so
// with WM_DPICHANGED and lays itself out again at the suggested place.
TEST(Win32Window, FollowsAMonitorOfAnotherDpi) {
    ShownForm form;
    ASSERT_NE(form.hwnd, nullptr);
    const int other = ScreenDpi() == 144 ? 96 : 144;
    RECT suggested{40, 30, 40 + 600, 30 + 300};
    SendMessageA(form.hwnd, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(other, other),
                 reinterpret_cast<LPARAM>(&suggested));
    ExpectScaledFor(form.hwnd, other);
    RECT frame{};
    GetWindowRect(form.hwnd, &frame);
    EXPECT_EQ(frame.left, 40);
    EXPECT_EQ(frame.top, 30);
}

TEST(Win32Window, IsTheFixedSetupFormOfTheResource) {
    ShownForm form;
    ASSERT_NE(form.hwnd, nullptr);
    EXPECT_TRUE(IsWindowVisible(form.hwnd));

    // Sizes and places as designed, scaled to the screen (a label whose
    // caption would be clipped grows, the form with it).
    ExpectScaledFor(form.hwnd, ScreenDpi());

    const LONG style = GetWindowLongA(form.hwnd, GWL_STYLE);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_EQ(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);

    RECT frame{};
    GetWindowRect(form.hwnd, &frame);
    EXPECT_NEAR((frame.left + frame.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
    EXPECT_NEAR((frame.top + frame.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);

    // The taskbar carries the application title; the form is owned by it.
    const HWND owner = GetWindow(form.hwnd, GW_OWNER);
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(WindowText(owner), "Quillset Setup Utility");

    const HWND label = FindWindowExA(form.hwnd, nullptr, "STATIC", nullptr);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(WindowText(label), LabelText);
    const auto font = reinterpret_cast<HFONT>(SendMessageA(label, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    LOGFONTA logFont{};
    ASSERT_NE(GetObjectA(font, sizeof logFont, &logFont), 0);
    EXPECT_STREQ(logFont.lfFaceName, "MS Sans Serif");
    EXPECT_EQ(logFont.lfHeight, -MulDiv(8, ScreenDpi(), 72));  // 8 pt at the screen's dpi
    EXPECT_EQ(logFont.lfCharSet, DEFAULT_CHARSET);

    // The archive length of the shipped file is beyond a 16-bit range.
    const HWND bar = FindWindowExA(form.hwnd, nullptr, PROGRESS_CLASSA, nullptr);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), 100);
    form.backend->SetProgressRange(0, 204730);
    form.backend->SetProgressPosition(204730);
    EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), 204730);
    EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 204730);

    form.backend->Hide();
    EXPECT_FALSE(IsWindowVisible(form.hwnd));
    EXPECT_FALSE(IsWindowVisible(owner));
}

TEST(Win32Window, StartMessageRunsInsideTheLoopAndCloseEndsIt) {
    ShownForm form;
    ASSERT_NE(form.hwnd, nullptr);
    form.backend->PostStartSetup();
    int calls = 0;
    bool visible = false;
    form.backend->RunMessageLoop([&] {
        ++calls;
        visible = IsWindowVisible(form.hwnd) != FALSE;
        form.backend->ProcessMessages();  // pumping inside the handler does not re-enter it
        form.backend->Close();
    });
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(visible);
    EXPECT_EQ(FindWindowA("TForm1", "Setup"), nullptr);
}

TEST(Win32Window, TerminateSeenWhilePumpingStillEndsTheLoop) {
    ShownForm form;
    form.backend->PostStartSetup();
    bool returned = false;
    form.backend->RunMessageLoop([&] {
        form.backend->Terminate();
        form.backend->ProcessMessages();  // must leave the quit message for the loop
        returned = true;
    });
    EXPECT_TRUE(returned);
    EXPECT_TRUE(IsWindow(form.hwnd));  // terminating does not close the form
}

TEST(Win32Window, ExceptionFromTheStartHandlerLeavesTheLoop) {
    ShownForm form;
    form.backend->PostStartSetup();
    try {
        form.backend->RunMessageLoop([] { throw EFOpenError("C:\\setup.exe"); });
        FAIL() << "the exception was swallowed";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message, "Cannot open file C:\\setup.exe");
    }
    // The window survives; the loop can be entered again and closed normally.
    EXPECT_TRUE(IsWindow(form.hwnd));
    form.backend->PostStartSetup();
    int calls = 0;
    form.backend->RunMessageLoop([&] {
        ++calls;
        form.backend->Close();
    });
    EXPECT_EQ(calls, 1);
}

TEST(Win32Window, MessageBoxIsOwnedByTheFormUnlessAskedOtherwise) {
    ShownForm form;
    DialogCloser closer;
    EXPECT_EQ(form.backend->MessageBox("Error reading data. Possible corrupt file.", "Error",
                                       MB_OK | MB_ICONERROR),
              IDOK);
    EXPECT_EQ(form.backend->MessageBox("Stream read error.", "Quillset Setup Utility", MB_ICONERROR, false),
              IDOK);
    const auto seen = closer.Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Caption, "Error");
    EXPECT_EQ(seen[0].Text, "Error reading data. Possible corrupt file.");
    EXPECT_EQ(seen[0].Owner, reinterpret_cast<intptr_t>(form.hwnd));
    EXPECT_EQ(seen[1].Caption, "Quillset Setup Utility");
    EXPECT_EQ(seen[1].Owner, 0);
}

TEST(Win32Platform, PrivateDirectoryGrantsTheCurrentUserOnly) {
    TempDir dir;
    const std::string path = platform::CreatePrivateDirectory(dir.Path(), "qs-");
    ASSERT_FALSE(path.empty());

    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD userSize = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &userSize);
    std::vector<BYTE> user(userSize);
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, user.data(), userSize, &userSize));
    CloseHandle(token);
    const PSID self = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;

    DWORD size = 0;
    GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> buffer(size);
    auto* descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(buffer.data());
    ASSERT_TRUE(GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor, size, &size));
    BOOL defaulted = FALSE, present = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(acl, nullptr);  // a null DACL would let everyone in

    // Wine, run as root, also reports the Unix owner as LocalSystem.
    const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    bool userGranted = false;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(acl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        ASSERT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        const PSID grantee = &allowed->SidStart;
        if (EqualSid(grantee, self)) {
            userGranted = (allowed->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
            continue;
        }
        EXPECT_TRUE(wine && IsWellKnownSid(grantee, WinLocalSystemSid)) << "a second grantee, ACE " << i;
    }
    EXPECT_TRUE(userGranted);
}

TEST(Win32Platform, ProfileStringsGoThroughThePrivateProfileService) {
    TempDir dir;
    // Spaces and "=" in the file name and the value arrive unchanged.
    const std::string file = dir / "hand off=1.ini";
    EXPECT_TRUE(platform::WriteProfileString("Params", "Start", "431559", file));
    EXPECT_TRUE(platform::WriteProfileString("Params", "Source", "C:\\a b\\setup=1.exe", file));
    EXPECT_TRUE(platform::WriteProfileString("params", "START", "12", file));  // found ignoring case
    char value[256] = {};
    GetPrivateProfileStringA("Params", "Start", "", value, sizeof value, file.c_str());
    EXPECT_STREQ(value, "12");
    GetPrivateProfileStringA("Params", "Source", "", value, sizeof value, file.c_str());
    EXPECT_STREQ(value, "C:\\a b\\setup=1.exe");
    const std::string text = ReadFileText(file);
    EXPECT_LT(text.find("Start=12"), text.find("Source="));
    EXPECT_FALSE(platform::WriteProfileString("Params", "Start", "1", dir / "missing\\x.ini"));
}

#endif  // _WIN32
