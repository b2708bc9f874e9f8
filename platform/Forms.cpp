#include "Forms.h"

namespace quern {

void TProgressBar::SetMin(int32_t value) {
    if (value > max_) throw ERangeError("TProgressBar property out of range");
    min_ = value;
    backend_.SetProgressRange(min_, max_);
}

void TProgressBar::SetMax(int32_t value) {
    if (value < min_) throw ERangeError("TProgressBar property out of range");
    max_ = value;
    backend_.SetProgressRange(min_, max_);
}

void TProgressBar::SetPosition(int32_t value) {
    position_ = value;
    backend_.SetProgressPosition(value);
}

TForm::TForm(TApplication& application, const platform::FormDesign& design) : application_(application) {
    application_.Backend().Create(design);
}

void TForm::Hide() { application_.Backend().Hide(); }
void TForm::Close() { application_.Backend().Close(); }

std::string TApplication::ExceptionBoxText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
    return message;
}

void TApplication::ShowException(const std::string& message) {
    backend_->MessageBox(ExceptionBoxText(message), Title, platform::MB_OK | platform::MB_ICONERROR, false);
}

int TApplication::Run(TForm& mainForm) {
    try {
        mainForm.FormCreate();
        backend_->Show();
        backend_->RunMessageLoop([&mainForm] { mainForm.WMStartSetup(); });
        return ExitCode;
    } catch (const std::exception& e) {
        // The default handler reports it; the program then ends instead of
        // lingering, possibly with no visible window left.
        ShowException(e.what());
        return 1;
    }
}

}  // namespace quern
