// The wait window while a real merge job runs on its worker thread: drawn before the
// job starts and gone after it, the window keeps answering, a long job shows its stage
// and counts under a progress bar, and a failure passes through unchanged.
#include "ui/wait_window.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "job/job.hpp"
#include "support/job_fixture.hpp"
#include "support/program_dir.hpp"
#include "ui/ui_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace tk = ui::tk;
using Stage = job::JobProgress::Stage;
using namespace std::chrono_literals;

// Each report as a line naming the stage and the file being written, with its count;
// over a job's reports the bar never goes back, and it is full only when the job is
// done.
TEST(ProgressText, StageAndCountsOfTheFileBeingWrittenInEitherLanguage) {
    using Output = job::JobProgress::Output;
    struct Report {
        job::JobProgress progress;
        const char* lang;
        const char* key;  // the line's text, with {done} and {total} from the progress
    };
    const std::vector<std::vector<Report>> jobs = {
        // 3000 waybills, 1000 known: merged once while the archive is read, the history
        // waited for, then the full file saved and the file of the 2000 new ones.
        {{{Stage::unpacking, 0, 3002}, "kk", "progress_unpacking"},
         {{Stage::merging, 650, 3000, Output::all, 0, 3000}, "ru", "progress_merging_all"},
         {{Stage::waiting, 3000, 3000, Output::all, 0, 3000}, "kk", "progress_waiting_history"},
         {{Stage::saving, 3000, 3000, Output::all, 0, 3000}, "ru", "progress_saving_all"},
         {{Stage::saving, 2000, 2000, Output::new_only, 1000, 3000}, "ru", "progress_saving_new"}},
        // Reports without the job's totals: each covers its own output alone.
        {{{Stage::unpacking, 4, 4}, "ru", "progress_unpacking"},
         {{Stage::waiting}, "kk", "progress_waiting_history"},
         {{Stage::merging, 10, 2000, Output::new_only}, "kk", "progress_merging_new"},
         {{Stage::merging, 1, 4}, "kk", "progress_merging_all"},
         {{Stage::saving, 4, 4}, "kk", "progress_saving_all"}},
    };
    for (const auto& reports : jobs) {
        int bar = 0;
        for (const Report& r : reports) {
            const std::string want = i18n::t(r.key, r.lang, {{"done", r.progress.done}, {"total", r.progress.total}});
            EXPECT_EQ(ui::progress_text(r.progress, r.lang), want);
            EXPECT_GE(ui::progress_permille(r.progress), bar) << want << ": the bar went back";
            bar = ui::progress_permille(r.progress);
            EXPECT_LT(bar, 1000) << want;
        }
        EXPECT_GT(bar, 0) << "the bar moved";
    }
}

class WaitWindowJobTest : public ::testing::Test {
protected:
    fixtures::ProgramDir program;
    const job::JobEnvironment env = program.context().job_environment();

    fs::path archive(int waybills) {
        const fs::path zip = program.root() / "Заказы" / "day.zip";
        fs::create_directories(zip.parent_path());
        fixtures::write_zip(zip, fixtures::waybills("W", waybills));
        return zip;
    }

    // The real job on `zip`, every progress report held up by `pause`, so that the
    // window has time to show each one.
    ui::WaitedJob job(const fs::path& zip, std::chrono::milliseconds pause = 0ms) {
        return [this, zip, pause](const job::ProgressCallback& progress) {
            return job::process_zip(zip, 4, env, [&progress, pause](const job::JobProgress& p) {
                if (progress) progress(p);  // none without a display
                std::this_thread::sleep_for(pause);
            });
        };
    }
};

TEST_F(WaitWindowJobTest, ALongJobShowsItsStageAndCountsUnderAProgressBar) {
    i18n::write_language(program.context().data_dir, "kk");
    const fs::path zip = archive(8);
    uitest::Driver driver;
    std::vector<std::string> lines;
    std::vector<int> values;
    driver.on_update = [&](tk::Interp& in) {
        if (in.call({"winfo", "ismapped", ".wait.bar"}) != "1") return;
        lines.push_back(uitest::text_of(in, ".wait.stage"));
        values.push_back(std::stoi(in.call({".wait.bar", "cget", "-value"})));
        EXPECT_GT(in.call_int({"winfo", "height", ".wait"}), 150) << "the window grew to hold the bar";
        EXPECT_GT(in.call_int({"winfo", "y", ".wait.bar"}), in.call_int({"winfo", "y", ".wait.hint"}));
    };
    const job::MergeResult result = ui::process_zip_with_wait(program.context(), job(zip, 20ms), {0ms, 1ms});
    EXPECT_EQ(result.file_count_all, 8);

    ASSERT_FALSE(lines.empty()) << "no progress was shown";
    // Whether a line of `key` with a count of the 8 waybills was shown.
    const auto seen = [&lines](const char* key) {
        for (int done = 0; done <= 8; ++done)
            if (std::find(lines.begin(), lines.end(), i18n::t(key, "kk", {{"done", done}, {"total", 8}})) !=
                lines.end())
                return true;
        return false;
    };
    EXPECT_TRUE(seen("progress_unpacking")) << lines.front();
    EXPECT_TRUE(seen("progress_merging_all")) << lines.back();
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end())) << "the bar never goes back";
    EXPECT_EQ(tk::Interp::current(), nullptr) << "the window is gone";
}

// The window is drawn before the job starts and is gone when it ends; a job done
// before the progress would show looks as without it.
TEST_F(WaitWindowJobTest, AJobDoneSoonerShowsTheWindowWithoutProgress) {
    i18n::write_language(program.context().data_dir, "kk");
    const fs::path zip = archive(2);
    uitest::Driver driver;
    int updates = 0;
    driver.on_update = [&](tk::Interp& in) {
        ++updates;
        EXPECT_EQ(in.call({"wm", "title", ".wait"}), i18n::t("merging_title", "kk"));
        EXPECT_EQ(in.call({"winfo", "ismapped", ".wait"}), "1") << "drawn before the job starts";
        EXPECT_TRUE(in.call({"wm", "geometry", ".wait"}).starts_with("420x150+"));
        EXPECT_EQ(uitest::text_of(in, ".wait.title"), i18n::t("merging_title", "kk"));
        EXPECT_EQ(uitest::text_of(in, ".wait.hint"), i18n::t("merging_hint", "kk"));
        EXPECT_EQ(uitest::option_of(in, ".wait.title", "-font"), "{Segoe UI} 13 bold");
        EXPECT_EQ(in.call({"winfo", "ismapped", ".wait.bar"}), "0");
        EXPECT_EQ(in.call({"winfo", "ismapped", ".wait.stage"}), "0");
        EXPECT_TRUE(fixtures::names_in(zip.parent_path()) == std::set<std::string>{"day.zip"}) << "nothing merged yet";
    };
    const job::MergeResult result = ui::process_zip_with_wait(program.context(), job(zip, 5ms), {1h, 1ms});
    EXPECT_EQ(updates, 1) << "drawn once, never changed";
    EXPECT_EQ(tk::Interp::current(), nullptr) << "the wait window's main window is gone";
    EXPECT_EQ(result.file_count_all, 2);
    EXPECT_TRUE(fs::exists(result.out_pdf_all));
}

TEST_F(WaitWindowJobTest, TheJobsFailurePassesThroughUnchangedAfterTheWindowIsGone) {
    uitest::Driver driver;
    driver.on_update = [](tk::Interp& in) { EXPECT_TRUE(in.exists(".wait")); };
    const fs::path missing = program.root() / "нет такого {архива} [x].zip";
    try {
        ui::process_zip_with_wait(program.context(), job(missing));
        FAIL() << "a missing archive merged";
    } catch (const diag::FileNotFound& e) {
        EXPECT_EQ(std::string(e.what()), i18n::t("zip_not_found", "ru", {{"path", missing}}));
    }
    EXPECT_EQ(tk::Interp::current(), nullptr);
}

TEST_F(WaitWindowJobTest, WithoutADisplayTheJobRunsWithoutItsWindow) {
    const fs::path zip = archive(2);
    fixtures::EnvVar no_display("DISPLAY", nullptr);
    uitest::Driver driver;
    driver.on_update = [](tk::Interp&) { ADD_FAILURE() << "a window was drawn without a display"; };
    const job::MergeResult result = ui::process_zip_with_wait(program.context(), job(zip));
    EXPECT_EQ(result.file_count_all, 2);
    EXPECT_TRUE(fs::exists(result.out_pdf_all));
}

TEST_F(WaitWindowJobTest, TheWindowAnswersWhileTheJobRunsAndIgnoresItsCloseBox) {
    const fs::path zip = archive(2);
    uitest::Driver driver;
    std::atomic<bool> answered{false};
    bool open_after_close = false;
    driver.on_update = [&](tk::Interp& in) {
        // An event handled while the job runs: the user's click on the close box.
        in.call({"after", 20, in.command([&] {
                     uitest::close_from_title_bar(in, ".wait");
                     open_after_close = in.exists(".wait");
                     answered = true;
                 })});
    };
    // The job waits for the window to have answered; a window whose events stand
    // still while the job runs never does.
    const ui::WaitedJob waiting = [&](const job::ProgressCallback& progress) {
        for (int i = 0; i < 2000 && !answered; ++i) std::this_thread::sleep_for(10ms);
        return job::process_zip(zip, 1, env, progress);
    };
    const job::MergeResult result = ui::process_zip_with_wait(program.context(), waiting);
    EXPECT_TRUE(answered) << "no event was handled while the job ran";
    EXPECT_TRUE(open_after_close) << "the close box closed the wait window";
    EXPECT_TRUE(fs::exists(result.out_pdf_all));
}

}  // namespace
