// A job killed outright (kill -9) at each moment of its last steps: an output is never
// visible without its waybills in the history, nor the other way round, once the next
// job has run; and until the history is saved, nothing is visible at all. A stop signal
// in the last steps lets them finish. The renames of the last steps and the folder
// syncs after them come in the order that keeps the same after a power cut.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "job/job.hpp"
#include "job/pending_outputs.hpp"
#include "history/store.hpp"
#include "platform/termination.hpp"
#include "support/child.hpp"
#include "support/pdf_fixtures.hpp"
#include "support/recording_renamer.hpp"
#include "support/temp_dir.hpp"
#include "support/zip_fixtures.hpp"

namespace fs = std::filesystem;
using job::LastStep;

namespace {

const std::string FULL = "day_Tarvo PDF Mergalo_MERGED.pdf";
const std::string FULL_1 = "day_Tarvo PDF Mergalo_MERGED (1).pdf";
const std::string NEW = "day_Tarvo PDF Mergalo_NEW_MERGED.pdf";

class LastSteps : public ::testing::Test {
protected:
    fixtures::TempDir root;
    fs::path archives = root / "archives";
    job::JobEnvironment env{root / "app", root / "data", root / "tmp", "Tarvo PDF Mergalo"};

    void SetUp() override {
        for (const auto& d : {archives, env.app_dir, env.data_dir, env.temp_root}) fs::create_directories(d);
    }

    fs::path archive(const std::string& name, const std::vector<std::string>& labels) {
        std::vector<fixtures::ZipMember> members;
        for (const auto& l : labels) members.push_back({l + ".pdf", fixtures::pdf_bytes({{.label = l}})});
        const fs::path zip = archives / name;
        fixtures::write_zip(zip, members);
        return zip;
    }

    // Visible files of the archive "day.zip" beside it, and whether any hidden file is left.
    std::set<std::string> visible_outputs() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(archives)) {
            const std::string n = e.path().filename().string();
            if (n.starts_with("day_")) names.insert(n);
        }
        return names;
    }
    bool hidden_left() const {
        for (const auto& e : fs::directory_iterator(archives))
            if (e.path().filename().string().starts_with(".")) return true;
        return false;
    }

    // The labels of the history's records that start with `prefix`.
    std::set<std::string> recorded(const std::string& prefix) const {
        std::set<std::string> names;
        for (const auto& [key, r] : history::load_waybill_history(env.app_dir))
            if (r.name.starts_with(prefix)) names.insert(r.name);
        return names;
    }
};

TEST_F(LastSteps, AJobKilledAtAnyStepLeavesOutputsAndHistoryInStep) {
    struct Case {
        const char* name;
        job::LastStep step;
        int occurrence;             // the how-manieth time the step is reached
        bool name_taken_meanwhile;  // a file takes the full output's name before the next job
        std::set<std::string> visible_after_kill;
        bool recorded;  // the killed job's new waybills are in the history
        std::set<std::string> visible_after_next_job;
        bool all_known = false;  // every waybill of the killed job was recorded before it
        int signal = SIGKILL;
    };
    const std::set<std::string> none;
    const std::set<std::string> both{FULL, NEW};
    const std::set<std::string> new_waybills{"B1.pdf", "B2.pdf", "B3.pdf"};
    const std::vector<Case> cases{
        {"outputs finished", job::LastStep::outputs_written, 1, false, none, false, none},
        {"note written", job::LastStep::note_written, 1, false, none, false, none},
        {"history saved", job::LastStep::history_saved, 1, false, none, true, both},
        {"history saved, name taken", job::LastStep::history_saved, 1, true, none, true, {FULL, FULL_1, NEW}},
        {"one output shown", job::LastStep::output_shown, 1, false, {FULL}, true, both},
        {"both shown", job::LastStep::output_shown, 2, false, both, true, both},
        // Its waybills are in the history, but not from its own update.
        {"note written, all known", job::LastStep::note_written, 1, false, none, false, none, true},
        // A stop signal cleans up as a failure does, but waits until the last steps are done.
        {"stop signal after the note", job::LastStep::note_written, 1, false, both, true, both, false, SIGTERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(archives);
        fs::remove_all(env.app_dir);
        for (const auto& d : {archives, env.app_dir}) fs::create_directories(d);
        // Three waybills merged a minute ago, three new: a full and a new-only output.
        std::vector<fs::path> known;
        for (const std::string l : {"A1", "A2", "A3"}) {
            known.push_back(root / (l + ".pdf"));
            fixtures::write_bytes(known.back(), fixtures::pdf_bytes({{.label = l}}));
        }
        history::record_processed_waybills(env.app_dir, known, 1, history::local_now() - std::chrono::minutes(1));
        const fs::path day = c.all_known ? archive("day.zip", {"A1", "A2", "A3"})
                                         : archive("day.zip", {"A1", "A2", "A3", "B1", "B2", "B3"});

        fixtures::Child killed([&] {
            platform::enable_cleanup_on_termination();
            job::JobEnvironment stopping = env;
            int seen = 0;
            stopping.at_last_step = [&](job::LastStep s) {
                if (s == c.step && ++seen == c.occurrence) ::kill(::getpid(), c.signal);
            };
            job::process_zip(day, 1, stopping);
            return std::string("finished");
        });
        ASSERT_EQ(killed.result(), "signal " + std::to_string(c.signal));
        EXPECT_EQ(visible_outputs(), c.visible_after_kill);
        EXPECT_EQ(recorded("B"), c.recorded ? new_waybills : none);

        if (c.name_taken_meanwhile) fixtures::write_bytes(archives / FULL, "the user's own file");
        // Some time later, a job on another archive of the folder.
        for (const auto& e : fs::directory_iterator(archives))
            fs::last_write_time(e.path(), fs::file_time_type::clock::now() - std::chrono::minutes(5));
        job::process_zip(archive("later.zip", {"C1"}), 1, env);

        EXPECT_EQ(visible_outputs(), c.visible_after_next_job);
        EXPECT_FALSE(hidden_left());
        EXPECT_EQ(job::pending_output_notes(env.app_dir), std::vector<fs::path>{});
        EXPECT_EQ(recorded("B"), c.recorded ? new_waybills : none);
        if (c.visible_after_next_job.contains(NEW)) {
            EXPECT_EQ(fixtures::page_count(archives / NEW), 3);
            EXPECT_EQ(fixtures::page_count(archives / (c.name_taken_meanwhile ? FULL_1 : FULL)), 6);
        }
    }
}

// The history is renamed and its folder synced before any output is renamed, and the
// archive's folder is synced after each output's rename: on two disks, a power cut
// never keeps an output whose history was lost. A failure at any of these steps leaves
// the outputs and the history in step once the next job has run.
TEST_F(LastSteps, RenamesAndFolderSyncsComeInTheOrderThatSurvivesAPowerCut) {
    const std::vector<std::string> all_steps{
        "rename waybill_history.pending", "sync app",      "rename waybill_history.csv", "sync app",
        "rename " + FULL,                 "sync archives", "rename " + NEW,              "sync archives",
    };
    struct Case {
        const char* name;
        std::string fail_step;  // none: every step succeeds
        int occurrence;
        std::string failure;  // how the job's message starts
        std::set<std::string> visible_after_job;
        bool recorded;
        std::set<std::string> visible_after_next_job;
    };
    const std::set<std::string> none;
    const std::set<std::string> both{FULL, NEW};
    const std::string history_failed = "Не удалось сохранить историю накладных:";
    const std::vector<Case> cases{
        {"every step succeeds", "", 0, "", both, true, both},
        {"the note's folder cannot be synced", "sync app", 1, history_failed, none, false, none},
        {"the history cannot be renamed", "rename waybill_history.csv", 1, history_failed, none, false, none},
        // The history holds the waybills already: the next job shows the outputs.
        {"the history's folder cannot be synced", "sync app", 2, history_failed, none, true, both},
        {"the archive's folder cannot be synced", "sync archives", 1, "Не удалось записать готовый PDF-файл:",
         {FULL}, true, both},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(archives);
        fs::remove_all(env.app_dir);
        for (const auto& d : {archives, env.app_dir}) fs::create_directories(d);
        std::vector<fs::path> known;
        for (const std::string l : {"A1", "A2", "A3"}) {
            known.push_back(root / (l + ".pdf"));
            fixtures::write_bytes(known.back(), fixtures::pdf_bytes({{.label = l}}));
        }
        history::record_processed_waybills(env.app_dir, known, 1, history::local_now() - std::chrono::minutes(1));
        const fs::path day = archive("day.zip", {"A1", "A2", "A3", "B1", "B2", "B3"});

        fixtures::RecordingRenamer renamer;
        renamer.fail_step = c.fail_step;
        renamer.fail_occurrence = c.occurrence;
        job::JobEnvironment recorded_env = env;
        recorded_env.renamer = &renamer;
        std::string failure;
        try {
            job::process_zip(day, 1, recorded_env);
        } catch (const std::runtime_error& e) {
            failure = e.what();
        }
        EXPECT_EQ(failure.substr(0, c.failure.size()), c.failure) << failure;
        EXPECT_EQ(failure.empty(), c.failure.empty()) << failure;
        // Every step up to the one that failed, and none after it.
        std::vector<std::string> expected = all_steps;
        if (!c.fail_step.empty()) {
            auto at = expected.begin();
            for (int n = 0; n < c.occurrence; ++n) at = std::find(n == 0 ? at : at + 1, expected.end(), c.fail_step);
            ASSERT_NE(at, expected.end());
            expected.erase(at + 1, expected.end());
        }
        EXPECT_EQ(renamer.steps, expected);
        EXPECT_EQ(visible_outputs(), c.visible_after_job);
        EXPECT_EQ(recorded("B").size(), c.recorded ? 3u : 0u);

        for (const auto& e : fs::directory_iterator(archives))
            fs::last_write_time(e.path(), fs::file_time_type::clock::now() - std::chrono::minutes(5));
        job::process_zip(archive("later.zip", {"C1"}), 1, env);
        EXPECT_EQ(visible_outputs(), c.visible_after_next_job);
        EXPECT_FALSE(hidden_left());
        EXPECT_EQ(job::pending_output_notes(env.app_dir), std::vector<fs::path>{});
        EXPECT_EQ(recorded("B").size(), c.recorded ? 3u : 0u);
    }
}

}  // namespace
