// A job killed outright (kill -9) at each moment of its last steps: an output is never
// visible without its waybills in the history, nor the other way round, once the next
// job has run; and until the history is saved, nothing is visible at all. A stop signal
// in the last steps lets them finish. The flushes and renames of the last steps and
// the folder syncs after them come in the order that keeps the same after a power cut.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "history/store.hpp"
#include "job/job.hpp"
#include "job/pending_outputs.hpp"
#include "platform/termination.hpp"
#include "support/child.hpp"
#include "support/job_fixture.hpp"
#include "support/pdf_fixtures.hpp"
#include "support/recording_renamer.hpp"

namespace fs = std::filesystem;
using job::LastStep;

namespace {

const std::string FULL = "day_Tarvo PDF Mergalo_MERGED.pdf";
const std::string FULL_1 = "day_Tarvo PDF Mergalo_MERGED (1).pdf";
const std::string NEW = "day_Tarvo PDF Mergalo_NEW_MERGED.pdf";
const std::set<std::string> NONE;
const std::set<std::string> BOTH{FULL, NEW};

class LastSteps : public fixtures::JobFixture {
protected:
    // A fresh start for one case: three waybills merged in layout 1 a minute ago, and
    // "day.zip" with them and, unless `all_known`, three new ones (a full and a new-only
    // output).
    fs::path day_archive(bool all_known = false) {
        for (const fs::path& d : {archives, env.history_dir}) {
            fs::remove_all(d);
            fs::create_directories(d);
        }
        std::vector<history::Entry> known;
        for (const std::string l : {"A1", "A2", "A3"})
            known.push_back({history::history_key(l + ".pdf", fixtures::pdf_bytes({{.label = l}}), 1), l + ".pdf"});
        history::record_processed_waybills(env.history_dir, known, 1, history::local_now() - std::chrono::minutes(1));
        return archive("day.zip", all_known ? fixtures::waybills({"A1", "A2", "A3"})
                                            : fixtures::waybills({"A1", "A2", "A3", "B1", "B2", "B3"}));
    }

    // How a job on `zip` in a process of its own ended, sent `signal` the
    // `occurrence`-th time it reached `step`: "signal <n>", or "finished".
    std::string stopped_job(const fs::path& zip, LastStep step, int occurrence = 1, int signal = SIGKILL) {
        fixtures::Child child([&] {
            platform::enable_cleanup_on_termination();
            job::JobEnvironment stopping = env;
            int seen = 0;
            stopping.at_last_step = [&](LastStep s) {
                if (s == step && ++seen == occurrence) ::kill(::getpid(), signal);
            };
            job::process_zip(zip, 1, stopping);
            return std::string("finished");
        });
        return child.result();
    }

    // Some time later, a job on another archive of the folder.
    void later_job(platform::Renamer* renamer = nullptr) {
        for (const auto& e : fs::directory_iterator(archives))
            fs::last_write_time(e.path(), fs::file_time_type::clock::now() - std::chrono::minutes(5));
        job::JobEnvironment later = env;
        later.renamer = renamer;
        job::process_zip(archive("later.zip", fixtures::waybills({"C1"})), 1, later);
    }

    // The visible outputs of "day.zip", and whether any hidden file is left beside them.
    std::set<std::string> visible_outputs() const {
        std::set<std::string> names = fixtures::names_in(archives);
        std::erase_if(names, [](const std::string& n) { return !n.starts_with("day_"); });
        return names;
    }
    bool hidden_left() const {
        const std::set<std::string> names = fixtures::names_in(archives);
        return std::any_of(names.begin(), names.end(), [](const std::string& n) { return n.starts_with("."); });
    }

    // Whether the history holds the three new waybills B1 to B3 (all or none).
    bool new_ones_recorded() const {
        int n = 0;
        for (const auto& [key, r] : history::load_history(env.history_dir).history) n += r.name.starts_with("B");
        EXPECT_TRUE(n == 0 || n == 3) << n;
        return n == 3;
    }
};

TEST_F(LastSteps, AJobKilledAtAnyStepLeavesOutputsAndHistoryInStep) {
    struct Case {
        const char* name;
        LastStep step;
        int occurrence;             // the how-manieth time the step is reached
        bool name_taken_meanwhile;  // a file takes the full output's name before the next job
        std::set<std::string> visible_after_kill;
        bool recorded;  // the killed job's new waybills are in the history
        std::set<std::string> visible_after_next_job;
        bool all_known = false;  // every waybill of the killed job was recorded before it
        int signal = SIGKILL;
    };
    const std::vector<Case> cases{
        {"outputs finished", LastStep::outputs_written, 1, false, NONE, false, NONE},
        {"note written", LastStep::note_written, 1, false, NONE, false, NONE},
        {"history saved", LastStep::history_saved, 1, false, NONE, true, BOTH},
        {"history saved, name taken", LastStep::history_saved, 1, true, NONE, true, {FULL, FULL_1, NEW}},
        {"one output shown", LastStep::output_shown, 1, false, {FULL}, true, BOTH},
        {"both shown", LastStep::output_shown, 2, false, BOTH, true, BOTH},
        // Its waybills are in the history, but not from its own update.
        {"note written, all known", LastStep::note_written, 1, false, NONE, false, NONE, true},
        // A stop signal cleans up as a failure does, but waits until the last steps are done.
        {"stop signal after the note", LastStep::note_written, 1, false, BOTH, true, BOTH, false, SIGTERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path day = day_archive(c.all_known);
        ASSERT_EQ(stopped_job(day, c.step, c.occurrence, c.signal), "signal " + std::to_string(c.signal));
        EXPECT_EQ(visible_outputs(), c.visible_after_kill);
        EXPECT_EQ(new_ones_recorded(), c.recorded);

        if (c.name_taken_meanwhile) fixtures::write_bytes(archives / FULL, "the user's own file");
        later_job();
        EXPECT_EQ(visible_outputs(), c.visible_after_next_job);
        EXPECT_FALSE(hidden_left());
        EXPECT_EQ(job::pending_output_notes(env.history_dir), std::vector<fs::path>{});
        EXPECT_EQ(new_ones_recorded(), c.recorded);
        if (c.visible_after_next_job.contains(NEW)) {
            EXPECT_EQ(fixtures::page_count(archives / NEW), 3);
            EXPECT_EQ(fixtures::page_count(archives / (c.name_taken_meanwhile ? FULL_1 : FULL)), 6);
        }
    }
}

// An output that the next job cannot show yet stays hidden, in its note, until a later
// job can: no sweep takes it for a dead job's, and no new note takes its note's name.
TEST_F(LastSteps, AnOutputThatCannotBeShownYetWaitsInItsNoteForTheNextJob) {
    ASSERT_EQ(stopped_job(day_archive(), LastStep::history_saved), "signal 9");
    fixtures::RecordingRenamer renamer;
    renamer.fail_step = "rename " + FULL;
    later_job(&renamer);
    EXPECT_EQ(visible_outputs(), std::set<std::string>{NEW});
    EXPECT_TRUE(hidden_left());
    EXPECT_EQ(job::pending_output_notes(env.history_dir).size(), 1u);

    later_job();
    EXPECT_EQ(visible_outputs(), BOTH);
    EXPECT_EQ(fixtures::page_count(archives / FULL), 6);
    EXPECT_FALSE(hidden_left());
    EXPECT_EQ(job::pending_output_notes(env.history_dir), std::vector<fs::path>{});
}

// Each output reaches the disk before the note and the history, the history is renamed
// and its folder synced before any output is renamed, and the archive's folder is
// synced after each output's rename: on two disks, a power cut never keeps an output
// whose history was lost, nor a history whose outputs were lost. A failure at any of
// these steps leaves the outputs and the history in step once the next job has run.
TEST_F(LastSteps, FlushesRenamesAndFolderSyncsComeInTheOrderThatSurvivesAPowerCut) {
    const std::string folder = archives.filename().string();
    const std::vector<std::string> all_steps{
        "flush " + FULL,
        "flush " + NEW,
        "flush waybill_history.pending",
        "rename waybill_history.pending",
        "sync app",
        "flush waybill_history.csv",
        "rename waybill_history.csv",
        "sync app",
        "rename " + FULL,
        "sync " + folder,
        "rename " + NEW,
        "sync " + folder,
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
    const std::string history_failed = "Не удалось сохранить историю накладных:";
    const std::vector<Case> cases{
        {"every step succeeds", "", 0, "", BOTH, true, BOTH},
        {"the note's folder cannot be synced", "sync app", 1, history_failed, NONE, false, NONE},
        {"the history cannot be renamed", "rename waybill_history.csv", 1, history_failed, NONE, false, NONE},
        // The history holds the waybills already: the next job shows the outputs.
        {"the history's folder cannot be synced", "sync app", 2, history_failed, NONE, true, BOTH},
        {"the archive's folder cannot be synced",
         "sync " + folder,
         1,
         "Не удалось записать готовый PDF-файл:",
         {FULL},
         true,
         BOTH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path day = day_archive();
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
        EXPECT_EQ(new_ones_recorded(), c.recorded);

        later_job();
        EXPECT_EQ(visible_outputs(), c.visible_after_next_job);
        EXPECT_FALSE(hidden_left());
        EXPECT_EQ(job::pending_output_notes(env.history_dir), std::vector<fs::path>{});
        EXPECT_EQ(new_ones_recorded(), c.recorded);
    }
}

}  // namespace
