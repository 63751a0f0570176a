// The wait window while a real merge job runs on its worker thread: the window keeps
// answering, and a long job shows its stage and counts under a progress bar.
#include "ui/wait_window.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "job/job.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "support/pdf_fixtures.hpp"
#include "support/program_dir.hpp"
#include "support/zip_fixtures.hpp"
#include "ui/ui_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace tk = ui::tk;
using Stage = job::JobProgress::Stage;
using namespace std::chrono_literals;

TEST(ProgressText, StageAndCountsOfTheFileBeingWrittenInEitherLanguage) {
    using Output = job::JobProgress::Output;
    struct Case {
        job::JobProgress progress;
        const char* lang;
        const char* key;  // the line's text, with {done} and {total} from the progress
        int permille;
    };
    for (const Case& c : {
             Case{{Stage::unpacking, 3, 10}, "ru", "progress_unpacking", 120},
             Case{{Stage::unpacking, 0, 0}, "kk", "progress_unpacking", 0},
             Case{{Stage::waiting}, "kk", "progress_waiting_history", 400},
             Case{{Stage::merging, 1, 4}, "kk", "progress_merging_all", 537},
             Case{{Stage::merging, 3000, 3000}, "ru", "progress_merging_all", 950},
             // 3000 waybills, 1000 known: the full file, then the 2000 new ones, each
             // counted on its own, one bar over both.
             Case{{Stage::merging, 650, 3000, Output::all, 0, 5000}, "ru", "progress_merging_all", 471},
             Case{{Stage::saving, 3000, 3000, Output::all, 0, 5000}, "ru", "progress_saving_all", 730},
             Case{{Stage::merging, 1000, 2000, Output::new_only, 3000, 5000}, "kk", "progress_merging_new", 840},
             Case{{Stage::saving, 2000, 2000, Output::new_only, 3000, 5000}, "ru", "progress_saving_new", 950},
             Case{{Stage::saving, 7, 7}, "kk", "progress_saving_all", 950},
         }) {
        const std::string want = i18n::t(c.key, c.lang, {{"done", c.progress.done}, {"total", c.progress.total}});
        EXPECT_EQ(ui::progress_text(c.progress, c.lang), want);
        EXPECT_EQ(ui::progress_permille(c.progress), c.permille) << want;
    }
    // The count is of the file being written, and the file is named.
    EXPECT_EQ(ui::progress_text({Stage::merging, 650, 3000, Output::all, 0, 5000}, "ru"),
              "Файл со всеми: объединено 650 из 3000");
    EXPECT_EQ(ui::progress_text({Stage::merging, 10, 2000, Output::new_only, 3000, 5000}, "ru"),
              "Файл с новыми: объединено 10 из 2000");
}

class WaitWindowJobTest : public ::testing::Test {
protected:
    fixtures::ProgramDir program;
    const job::JobEnvironment env = program.context().job_environment();

    fs::path archive(int waybills) {
        std::vector<fixtures::ZipMember> members;
        for (int i = 1; i <= waybills; ++i) {
            const std::string name = std::string("W").append(std::to_string(i));
            members.push_back({std::string(name).append(".pdf"), fixtures::pdf_bytes({{.label = name}})});
        }
        const fs::path zip = program.root() / "Заказы" / "day.zip";
        fs::create_directories(zip.parent_path());
        fixtures::write_zip(zip, members);
        return zip;
    }

    // The real job on `zip`, every progress report held up by `pause`, so that the
    // window has time to show each one.
    ui::WaitedJob job(const fs::path& zip, std::chrono::milliseconds pause = 0ms) {
        return [this, zip, pause](const job::ProgressCallback& progress) {
            return job::process_zip(zip, 4, env, [&progress, pause](const job::JobProgress& p) {
                progress(p);
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
    const job::MergeResult result = ui::run_with_wait_window(program.context(), job(zip, 20ms), {0ms, 1ms});
    EXPECT_EQ(result.file_count_all, 8);

    ASSERT_FALSE(lines.empty()) << "no progress was shown";
    const auto seen = [&lines](std::string_view start) {
        return std::any_of(lines.begin(), lines.end(), [start](const std::string& l) { return l.starts_with(start); });
    };
    EXPECT_TRUE(seen("Мұрағатты ашу: 8 ішінен ")) << lines.front();
    EXPECT_TRUE(seen("Барлығы бар файл: 8 ішінен ")) << lines.back();
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end())) << "the bar never goes back";
    EXPECT_EQ(tk::Interp::current(), nullptr) << "the window is gone";
}

TEST_F(WaitWindowJobTest, AJobDoneSoonerLooksAsWithoutProgress) {
    const fs::path zip = archive(2);
    uitest::Driver driver;
    int updates = 0;
    driver.on_update = [&updates](tk::Interp& in) {
        ++updates;
        EXPECT_EQ(in.call({"winfo", "ismapped", ".wait.bar"}), "0");
        EXPECT_EQ(in.call({"winfo", "ismapped", ".wait.stage"}), "0");
        EXPECT_TRUE(in.call({"wm", "geometry", ".wait"}).starts_with("420x150+"));
    };
    ui::run_with_wait_window(program.context(), job(zip, 5ms), {1h, 1ms});
    EXPECT_EQ(updates, 1) << "drawn once, never changed";
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
    const job::MergeResult result = ui::run_with_wait_window(program.context(), waiting);
    EXPECT_TRUE(answered) << "no event was handled while the job ran";
    EXPECT_TRUE(open_after_close) << "the close box closed the wait window";
    EXPECT_TRUE(fs::exists(result.out_pdf_all));
}

}  // namespace
