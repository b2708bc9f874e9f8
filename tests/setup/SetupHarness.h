// Runs the real form and application over a recording window on a setup
// image written as a real file, with the temporary path pointing at a
// private directory; the restart request is recorded, never made.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "setup/Payload.h"
#include "setup/SetupUnit.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TestSupport.h"

using namespace quern;

namespace setup_harness {

using testing_support::Bytes;

// Filler up to the scan start, the trailer, the archive and the payload; the
// trailer's ArchiveLength may lie about the archive.
inline Bytes SetupImage(const Bytes& archive, const Bytes& payload, std::optional<int32_t> claimedLength = {}) {
    Bytes image(PayloadScanStart, 0x90);
    const auto trailer = PayloadTrailer(claimedLength.value_or(static_cast<int32_t>(archive.size())),
                                        static_cast<int32_t>(payload.size()));
    image.insert(image.end(), trailer.begin(), trailer.end());
    image.insert(image.end(), archive.begin(), archive.end());
    image.insert(image.end(), payload.begin(), payload.end());
    return image;
}

struct SetupRun {
    testing_support::RecordingWindow::Record window;
    int exitCode = -1;
    std::vector<uint32_t> restarts;
    // What the temporary directory held when each restart was requested.
    std::vector<std::vector<std::string>> tempAtRestart;
};

class SetupHarness : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(dir_ / "tmp");
        tmpEnv_ = std::make_unique<testing_support::ScopedEnv>(testing_support::TempPathVariable, dir_ / "tmp");
    }

    // The image is the "executable" ExeName(); `services` may stand in for
    // the sequence or the temporary name.
    SetupRun RunImage(const Bytes& image, SetupServices services = {}) {
        testing_support::WriteFileBytes(ExeName(), image);
        SetupRun run;
        services.ModuleFileName = [exe = ExeName()] { return exe; };
        services.RequestRestart = [&run, this](uint32_t code) {
            run.restarts.push_back(code);
            run.tempAtRestart.push_back(LeftInTemp());
        };
        TApplication application(std::make_unique<testing_support::RecordingWindow>(run.window));
        application.Title = ApplicationTitle;
        TForm1 form(application, std::move(services));
        run.exitCode = application.Run(form);
        return run;
    }

    std::string ExeName() const { return dir_ / "my setup.exe"; }
    std::vector<std::string> LeftInTemp() const { return testing_support::ListDirectory(dir_ / "tmp"); }

    testing_support::TempDir dir_;
    std::unique_ptr<testing_support::ScopedEnv> tmpEnv_;
};

// Services whose installation sequence is `sequence`.
inline SetupServices WithOutcome(std::function<InstallOutcome(TForm1&, const InstallInputs&)> sequence) {
    SetupServices services;
    services.InstallSequence = std::move(sequence);
    return services;
}

// Services whose installation sequence is `sequence`, standing for a wizard
// that ran to its end with exit code 0 and left the returned restart setting.
inline SetupServices WithSequence(std::function<int32_t(TForm1&, const InstallInputs&)> sequence) {
    return WithOutcome([sequence = std::move(sequence)](TForm1& form, const InstallInputs& inputs) {
        InstallOutcome outcome;
        outcome.RestartSetting = sequence(form, inputs);
        outcome.WizardStarted = outcome.WizardRanToEnd = true;
        return outcome;
    });
}

}  // namespace setup_harness
