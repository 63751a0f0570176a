// Every window at the display's scale: its fixed sizes grow with the display's pixels
// per inch as its fonts do, so that nothing is cut at 125 %, 150 % or 200 %. The same
// tests run on the usual screen and, through CTest, on screens of 144 and 192 pixels per
// inch (MERGALO_TEST_SCALE then names the scale the screen must give).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "support/program_dir.hpp"
#include "ui/error_dialog.hpp"
#include "ui/language_window.hpp"
#include "ui/result_window.hpp"
#include "ui/ui_support.hpp"
#include "ui/wait_window.hpp"
#include "ui/window.hpp"

namespace {

namespace fs = std::filesystem;
namespace tk = ui::tk;
using namespace std::chrono_literals;

TEST(Scale, WindowsStepsOfAQuarterAndNeverBelowOne) {
    struct Case {
        double pixels_per_inch;
        double scale;
    };
    for (const Case& c : {Case{96, 1}, Case{99.93, 1}, Case{72, 1}, Case{120, 1.25}, Case{143.86, 1.5}, Case{168, 1.75},
                          Case{192, 2}, Case{288, 3}})
        EXPECT_EQ(ui::Scale::for_density(c.pixels_per_inch), c.scale) << c.pixels_per_inch;
    EXPECT_EQ(ui::Scale(1.5)(28), 42);
    EXPECT_EQ(ui::Scale(1.25)(22), 28) << "rounded to the nearest pixel";
}

class ScaledWindows : public ::testing::TestWithParam<const char*> {
protected:
    fixtures::ProgramDir program;
    void SetUp() override { i18n::write_language(program.context().data_dir, GetParam()); }

    // The scale of the screen; when the test run names the one it must be, checked.
    static ui::Scale scale(tk::Interp& in) {
        const ui::Scale px(in);
        if (const char* expected = std::getenv("MERGALO_TEST_SCALE")) {
            EXPECT_EQ(px.factor(), std::stod(expected)) << "the screen's scale";
        }
        return px;
    }

    // The window is exactly `width` x `height` at the screen's scale (0: as its content
    // asks), and none of its widgets is cut.
    static void check(tk::Interp& in, const std::string& window, int width, int height) {
        const ui::Scale px = scale(in);
        in.update();
        if (width > 0) {
            EXPECT_EQ(in.call_int({"winfo", "width", window}), px(width)) << window;
        }
        if (height > 0) {
            EXPECT_EQ(in.call_int({"winfo", "height", window}), px(height)) << window;
        }
        EXPECT_EQ(uitest::cut_widgets(in, window), std::vector<std::string>{}) << window << " at " << px.factor();
    }
};

TEST_P(ScaledWindows, ChooserLanguageChooserAndErrorDialog) {
    {
        tk::Interp root;
        uitest::Driver driver;
        driver.then([](tk::Interp& in) {
            check(in, ".choice", 320, 220);
            in.call({".choice.mode1", "invoke"});
        });
        EXPECT_EQ(ui::simple_choice(program.context(), root), 1);
    }
    {
        uitest::Driver driver;
        driver.then([](tk::Interp& in) {
            check(in, ".", 0, 0);
            in.call({".frame.kk", "invoke"});
        });
        EXPECT_EQ(ui::choose_language_window(program.context()), "kk");
    }
    uitest::Driver driver;
    driver.then([](tk::Interp& in) {
        check(in, ".error", 560, 0);
        in.call({".error.buttons.ok", "invoke"});
    });
    const diag::FileNotFound failure(
        i18n::t("zip_not_found", "ru", {{"path", "/home/seller/Документы/Заказы за 15 мая/day.zip"}}));
    ui::show_error_dialog(program.context(), i18n::t("error_pdf_failed", "ru"), failure.what(), &failure);
}

TEST_P(ScaledWindows, WaitWindowWithItsProgress) {
    uitest::Driver driver;
    bool checked = false;
    driver.on_update = [&checked](tk::Interp& in) {
        if (checked || in.call({"winfo", "ismapped", ".wait.bar"}) != "1") return;
        checked = true;
        check(in, ".wait", 420, 0);
    };
    ui::process_zip_with_wait(
        program.context(),
        [](const job::ProgressCallback& progress) {
            // The longest line: the full file's merging, counted in thousands.
            for (std::size_t done = 1; done <= 40; ++done) {
                progress({job::JobProgress::Stage::merging, done * 100, 5000, job::JobProgress::Output::all, 0, 8000});
                std::this_thread::sleep_for(10ms);
            }
            return job::MergeResult{};
        },
        {0ms, 1ms});
    EXPECT_TRUE(checked) << "the progress never showed";
}

TEST_P(ScaledWindows, ResultWindowWithBothFilesAndSomethingToCheck) {
    const fs::path folder = program.root() / "Документы" / "Заказы за 15 мая (склад Алматы)";
    job::MergeResult r;
    r.nup = 4;
    r.out_pdf = r.out_pdf_all = folder / "day_Tarvo PDF Mergalo_MERGED_4up.pdf";
    r.out_pdf_new = folder / "day_Tarvo PDF Mergalo_NEW_MERGED_4up.pdf";
    r.file_count = r.file_count_all = 37;
    r.file_count_new = 12;
    r.repaired = {"день2/Заказ_458812304.pdf"};
    uitest::Driver driver;
    driver.then([](tk::Interp& in) {
        check(in, ".done", 0, 0);
        in.call({".done.buttons.bottom.close", "invoke"});
    });
    ui::show_done(program.context(), r);
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, ScaledWindows, ::testing::Values("ru", "kk"));

}  // namespace
