// The merge job end to end on archives the tests write: outputs, names, the history
// and the clean-up after failures.
#include "job/job.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <functional>
#include <set>

#include "diag/errors.hpp"
#include "history/store.hpp"
#include "i18n/settings.hpp"
#include "job/layouts.hpp"
#include "job/output_names.hpp"
#include "support/child.hpp"
#include "support/env.hpp"
#include "support/job_fixture.hpp"
#include "support/pdf_fixtures.hpp"
#include "support/temp_dir.hpp"
#include "support/zip_fixtures.hpp"

namespace fs = std::filesystem;
using fixtures::names_in;
using fixtures::waybills;

namespace {

class JobTest : public fixtures::JobFixture {};

// Text of every page of a PDF, in order (each fixture page carries one label).
std::vector<std::string> page_labels(const fs::path& pdf) {
    std::vector<std::string> labels;
    for (int i = 0; i < fixtures::page_count(pdf); ++i) {
        std::string text = fixtures::page_text(pdf, i);
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
        labels.push_back(text);
    }
    return labels;
}

}  // namespace

TEST_F(JobTest, FirstRunWritesOneFileThatIsAlsoTheNewOnlyOutput) {
    fs::path zip = archive("orders.zip", waybills("W", 3));
    job::MergeResult r = job::process_zip(zip, 4, env);

    EXPECT_EQ(r.out_pdf_all, archives / "orders_Tarvo PDF Mergalo_MERGED_4up.pdf");
    EXPECT_EQ(r.out_pdf, r.out_pdf_all);
    EXPECT_EQ(r.out_pdf_new, r.out_pdf_all);
    EXPECT_EQ(names_in(archives), (std::set<std::string>{"orders.zip", "orders_Tarvo PDF Mergalo_MERGED_4up.pdf"}));
    EXPECT_EQ(r.file_count, 3);
    EXPECT_EQ(r.file_count_all, 3);
    EXPECT_EQ(r.file_count_new, 3);
    EXPECT_EQ(r.total_pages, 3);
    EXPECT_EQ(r.total_pages_new, 3);
    EXPECT_EQ(r.final_sheets, 1);
    EXPECT_EQ(r.final_sheets_new, 1);
    EXPECT_EQ(r.nup, 4);
    EXPECT_EQ(history::load_history(env.history_dir).history.size(), 3u);
    EXPECT_FALSE(scratch_left());
}

TEST_F(JobTest, SecondRunOfTheSameArchiveWritesNoNewOnlyFileButStillRecords) {
    fs::path zip = archive("orders.zip", waybills("W", 3));
    job::process_zip(zip, 1, env);
    const auto before = history::load_history(env.history_dir).history;

    job::MergeResult r = job::process_zip(zip, 1, env);
    EXPECT_EQ(r.out_pdf_all, archives / "orders_Tarvo PDF Mergalo_MERGED (1).pdf");
    EXPECT_FALSE(r.out_pdf_new.has_value());
    EXPECT_EQ(r.file_count_new, 0);
    EXPECT_EQ(r.total_pages_new, 0);
    EXPECT_EQ(r.final_sheets_new, 0);
    EXPECT_EQ(r.total_pages, 3);
    EXPECT_EQ(names_in(archives).size(), 3u);

    const auto after = history::load_history(env.history_dir).history;
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [key, record] : after) {
        ASSERT_TRUE(before.contains(key));
        EXPECT_GE(record.processed_at, before.at(key).processed_at);
    }
    const auto fields = job::merge_result_fields(r);
    ASSERT_EQ(fields.size(), 17u);
    EXPECT_EQ(fields[2], (std::pair<std::string, std::string>{"out_pdf_new", ""}));
    EXPECT_EQ(fields[12], (std::pair<std::string, std::string>{"nup", "1"}));
    // Fields newer than the first 13 come after them.
    EXPECT_EQ(fields[13], (std::pair<std::string, std::string>{"repaired", ""}));
    EXPECT_EQ(fields[14], (std::pair<std::string, std::string>{"conflicting_duplicates", ""}));
    EXPECT_EQ(fields[15], (std::pair<std::string, std::string>{"skipped_history_records", "0"}));
}

TEST_F(JobTest, KnownWaybillsAreLeftOutOfTheNewOnlyOutputInSourceOrder) {
    job::process_zip(archive("monday.zip", waybills({"W02", "W05", "W09"})), 1, env);
    std::vector<std::string> day;
    for (int i = 0; i < 10; ++i) day.push_back(std::string("W0").append(std::to_string(i)));
    job::MergeResult r = job::process_zip(archive("tuesday.zip", waybills(day)), 1, env);

    ASSERT_TRUE(r.out_pdf_new.has_value());
    EXPECT_EQ(*r.out_pdf_new, archives / "tuesday_Tarvo PDF Mergalo_NEW_MERGED.pdf");
    EXPECT_EQ(r.file_count, 10);
    EXPECT_EQ(r.file_count_new, 7);
    EXPECT_EQ(r.total_pages_new, 7);
    EXPECT_EQ(r.final_sheets_new, 7);
    EXPECT_EQ(page_labels(r.out_pdf_all), day);
    EXPECT_EQ(page_labels(*r.out_pdf_new), (std::vector<std::string>{"W00", "W01", "W03", "W04", "W06", "W07", "W08"}));
}

TEST_F(JobTest, AnotherLayoutCountsEveryWaybillAsNew) {
    fs::path zip = archive("orders.zip", waybills("W", 5));
    job::process_zip(zip, 1, env);
    job::MergeResult r = job::process_zip(zip, 9, env);
    EXPECT_EQ(r.out_pdf_new, r.out_pdf_all);
    EXPECT_EQ(r.file_count_new, 5);
    EXPECT_EQ(r.final_sheets, 1);
    EXPECT_EQ(r.out_pdf_all.filename(), "orders_Tarvo PDF Mergalo_MERGED_9up.pdf");
    EXPECT_EQ(history::load_history(env.history_dir).history.size(), 10u);
}

TEST_F(JobTest, LayoutOutsideTheListRunsAsLayoutOne) {
    fs::path zip = archive("orders.zip", waybills("W", 2));
    for (int nup : {5, 0}) {
        job::MergeResult r = job::process_zip(zip, nup, env);
        EXPECT_EQ(r.nup, 1);
        EXPECT_EQ(r.final_sheets, 2);
        EXPECT_EQ(r.out_pdf_all.filename().string().find("up"), std::string::npos) << r.out_pdf_all;
    }
}

TEST_F(JobTest, OutputNamesFollowTheArchiveStemAndAreNumberedWhenTaken) {
    job::MergeResult upper = job::process_zip(archive("ORDERS.ZIP", waybills("W", 1)), 1, env);
    EXPECT_EQ(upper.out_pdf_all.filename(), "ORDERS_Tarvo PDF Mergalo_MERGED.pdf");
    job::MergeResult tar = job::process_zip(archive("orders.tar.zip", waybills("W", 1)), 1, env);
    EXPECT_EQ(tar.out_pdf_all.filename(), "orders.tar_Tarvo PDF Mergalo_MERGED.pdf");

    fixtures::write_bytes(archives / "orders_Tarvo PDF Mergalo_MERGED_4up.pdf", "taken");
    fixtures::write_bytes(archives / "orders_Tarvo PDF Mergalo_MERGED_4up (1).pdf", "taken");
    EXPECT_EQ(job::make_output_path(archives / "orders.zip", 4, false, env.app_title),
              archives / "orders_Tarvo PDF Mergalo_MERGED_4up (2).pdf");
    EXPECT_EQ(job::make_output_path(archives / "orders.zip", 4, true, env.app_title),
              archives / "orders_Tarvo PDF Mergalo_NEW_MERGED_4up.pdf");
    EXPECT_EQ(fixtures::read_bytes(archives / "orders_Tarvo PDF Mergalo_MERGED_4up.pdf"), "taken");
    fs::create_directory(archives / "x");
    EXPECT_EQ(job::unique_path(archives / "x"), archives / "x (1)") << "a folder takes a name too";
}

// A job that fails on its input says why in the user's language (an archive without
// PDFs in one fixed text), as the kind of failure its exit code follows, and leaves
// nothing behind: no output, no history, no scratch folder.
TEST_F(JobTest, AJobThatFailsOnItsInputSaysWhyAndLeavesNothing) {
    enum Kind { not_found, invalid, runtime };
    struct Case {
        const char* what;
        const char* lang;
        fs::path zip;
        Kind kind;
        std::string message;  // how the message starts
    };
    const fs::path missing = archives / "нет такого.zip";
    fixtures::write_bytes(archives / "orders.rar", "x");
    fixtures::write_zip(archives / "photos.zip", {{"photo.jpg", "jpeg bytes"}, {"notes.txt", "text"}});
    fs::create_directory(archives / "x.zip");
    ASSERT_EQ(::mkfifo((archives / "pipe.zip").c_str(), 0600), 0);
    archive("orders.zip", waybills("W", 2));
    fixtures::write_zip(archives / "damaged.zip",
                        {{"a.pdf", fixtures::pdf_bytes({{.label = "A"}})}, {"b.pdf", "%PDF-1.7 garbage"}});
    const Case cases[] = {
        {"missing", "ru", missing, not_found, "ZIP-файл не найден:\n" + missing.string()},
        {"not a ZIP", "kk", archives / "orders.rar", invalid, "Жүкқұжаттары бар ZIP-мұрағатты таңдаңыз"},
        {"no PDF", "ru", archives / "photos.zip", runtime, "В архиве не найдено PDF-файлов"},
        {"no PDF", "kk", archives / "photos.zip", runtime, "В архиве не найдено PDF-файлов"},
        {"a folder", "ru", archives / "x.zip", runtime, ""},
        {"a named pipe, not waited on", "ru", archives / "pipe.zip", runtime, "Не удалось открыть ZIP-архив"},
        {"no temporary folder", "ru", archives / "orders.zip", runtime, "Не удалось узнать, сколько места свободно"},
        {"a damaged waybill", "ru", archives / "damaged.zip", runtime, ""},
    };
    const std::set<std::string> before = names_in(archives);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " " + c.lang);
        i18n::write_language(env.data_dir, c.lang);
        job::JobEnvironment failing = env;
        if (std::string(c.what) == "no temporary folder") {
            failing.temp_root = root / "no such folder";
            failing.memory_budget = 0;  // every waybill needs a file there
        }
        try {
            job::process_zip(c.zip, 4, failing);
            ADD_FAILURE() << "no failure";
        } catch (const diag::Error& e) {
            EXPECT_EQ(dynamic_cast<const diag::FileNotFound*>(&e) != nullptr, c.kind == not_found);
            EXPECT_EQ(dynamic_cast<const diag::InvalidValue*>(&e) != nullptr, c.kind == invalid);
            EXPECT_EQ(dynamic_cast<const diag::RuntimeError*>(&e) != nullptr, c.kind == runtime);
            EXPECT_TRUE(std::string(e.what()).starts_with(c.message)) << e.what();
        }
        EXPECT_EQ(names_in(archives), before);
        EXPECT_EQ(recorded(), 0u);
        EXPECT_FALSE(scratch_left());
    }
}

// Waybills held in memory need no scratch folder: nothing is made in the temporary
// folder, which need not even exist. Those past the budget go to files in one, made
// while the archive is read and gone with the job. Either way the outputs are the same.
TEST_F(JobTest, OnlyWaybillsPastTheMemoryBudgetMakeAScratchFolder) {
    struct Case {
        const char* what;
        std::uint64_t budget;
        bool temp_root_exists;
        bool scratch_while_merging;
    };
    const Case cases[] = {
        {"all in memory", archive::MEMORY_BUDGET_BYTES, true, false},
        {"all in memory, no temporary folder", archive::MEMORY_BUDGET_BYTES, false, false},
        {"all in files", 0, true, true},
    };
    const fs::path zip = archive("orders.zip", waybills("W", 5));
    std::optional<std::string> first_output;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        job::JobEnvironment e = env;
        e.memory_budget = c.budget;
        if (!c.temp_root_exists) e.temp_root = root / "no such folder";
        std::optional<bool> scratch_seen;
        const job::MergeResult r = job::process_zip(zip, 4, e, [&](const job::JobProgress& p) {
            if (p.stage == job::JobProgress::Stage::merging && !scratch_seen)
                scratch_seen = fs::exists(e.temp_root) && !fs::is_empty(e.temp_root);
        });
        EXPECT_EQ(scratch_seen, c.scratch_while_merging);
        EXPECT_FALSE(scratch_left());
        EXPECT_FALSE(fs::exists(root / "no such folder"));
        ASSERT_EQ(r.file_count, 5);
        const std::string output = fixtures::read_bytes(r.out_pdf_all);
        fs::remove(r.out_pdf_all);
        fs::remove(history::history_csv_path(env.history_dir));
        if (!first_output) first_output = output;
        EXPECT_TRUE(output == *first_output) << "the same merge from memory and from files";
    }
}

TEST_F(JobTest, FailedHistoryUpdateDeletesBothOutputsAndKeepsTheHistory) {
    const fs::path monday = archive("monday.zip", waybills("W", 3));
    const fs::path tuesday = archive("tuesday.zip", waybills("W", 6));
    // The history lives on a small disk of its own that is full when Tuesday's
    // waybills are recorded.
    const std::string outcome = fixtures::run_in_child([&] {
        if (!fixtures::mount_small_disk(env.history_dir, 256 * 1024)) return std::string("skip");
        job::process_zip(monday, 4, env);
        const std::string before = fixtures::read_bytes(history::history_csv_path(env.history_dir));
        fixtures::fill_disk(env.history_dir);
        std::string message = "no failure";
        try {
            job::process_zip(tuesday, 4, env);
        } catch (const diag::RuntimeError& e) {
            message = e.what();
        }
        const bool kept = fixtures::read_bytes(history::history_csv_path(env.history_dir)) == before;
        return std::string(kept ? "history kept\n" : "history changed\n") + message;
    });
    if (outcome == "skip") GTEST_SKIP() << "no small disk can be mounted here";
    EXPECT_EQ(outcome.rfind("history kept\nНе удалось сохранить историю накладных:", 0), 0u) << outcome;
    EXPECT_NE(outcome.find("На диске не хватает места"), std::string::npos) << outcome;
    EXPECT_EQ(names_in(archives),
              (std::set<std::string>{"monday.zip", "monday_Tarvo PDF Mergalo_MERGED_4up.pdf", "tuesday.zip"}));
    EXPECT_FALSE(scratch_left());
}

// The history file as a user or another program left it between two jobs: a row with a
// column added by a spreadsheet still marks its waybill as merged and keeps the column;
// a history linked elsewhere is kept there; a read-only one fails the second job for
// lack of rights, and the job then leaves no output.
TEST_F(JobTest, TheHistoryFileAsTheUserLeftItBetweenTwoJobs) {
    const fs::path csv = history::history_csv_path(env.history_dir);
    const fs::path shared = root / "общая папка" / "история.csv";
    struct Case {
        const char* what;
        std::function<void()> before_first, before_second;
        std::string failure{};  // how the second job's message starts; empty: it succeeds
    };
    const std::vector<Case> cases{
        {"a fifth field", [] {},
         [&] {
             std::string text = fixtures::read_bytes(csv);
             const std::size_t w1 = text.find("W1.pdf;");
             ASSERT_NE(w1, std::string::npos) << text;
             text.insert(text.find("\r\n", w1), ";напечатано");
             fixtures::write_bytes(csv, text);
         }},
        {"linked elsewhere",
         [&] {
             fs::create_directories(shared.parent_path());
             fs::create_symlink(shared, csv);
         },
         [] {}},
        {"read-only", [] {}, [&] { fs::permissions(csv, fs::perms::owner_read | fs::perms::group_read); },
         "Не удалось сохранить историю накладных:\n" + csv.string() +
             "\nНет доступа к файлу или папке. Проверьте права доступа или выберите другую папку."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root / "общая папка");
        for (const fs::path& d : {archives, env.history_dir}) {
            fs::remove_all(d);
            fs::create_directories(d);
        }
        c.before_first();
        job::process_zip(archive("monday.zip", waybills("W", 1)), 4, env);
        c.before_second();
        const std::string before = fixtures::read_bytes(csv);
        std::string failure;
        try {
            // W1 was merged on Monday.
            EXPECT_EQ(job::process_zip(archive("tuesday.zip", waybills("W", 3)), 4, env).file_count_new, 2);
        } catch (const diag::RuntimeError& e) {
            failure = e.what();
        }
        EXPECT_EQ(failure.substr(0, c.failure.size()), c.failure);
        if (!c.failure.empty()) {
            EXPECT_EQ(names_in(archives),
                      (std::set<std::string>{"monday.zip", "monday_Tarvo PDF Mergalo_MERGED_4up.pdf", "tuesday.zip"}));
            EXPECT_EQ(fixtures::read_bytes(csv), before);
            continue;
        }
        EXPECT_TRUE(failure.empty()) << failure;
        const history::History after = history::load_history(env.history_dir).history;
        EXPECT_EQ(after.size(), 3u);
        const bool linked = std::string(c.what) == "linked elsewhere";
        EXPECT_EQ(fs::is_symlink(csv), linked);
        if (linked) {
            EXPECT_EQ(fs::read_symlink(csv), shared);
            EXPECT_EQ(names_in(shared.parent_path()), std::set<std::string>{"история.csv"});
        }
        const std::string text = fixtures::read_bytes(csv);
        const std::size_t w1 = text.find("W1.pdf;");
        ASSERT_NE(w1, std::string::npos) << text;
        const std::string w1_row = text.substr(w1, text.find("\r\n", w1) - w1);
        EXPECT_EQ(w1_row.ends_with(";4;напечатано"), std::string(c.what) == "a fifth field") << w1_row;
    }
}

TEST(ModeName, NamesEachLayoutAndFallsBackToLayoutOne) {
    EXPECT_EQ(job::mode_name(4, "ru"), "4 на лист (2x2)");
    EXPECT_EQ(job::mode_name(9, "kk"), "Параққа 9 (3x3)");
    EXPECT_EQ(job::mode_name(5, "ru"), "1 на лист (обычно)");
}

// Progress: the archive opened, then the waybills merged once (while they are read),
// with the counts of the whole job for the bar, each output's save announced.
TEST_F(JobTest, ReportsItsProgressStageByStage) {
    using S = job::JobProgress::Stage;
    using O = job::JobProgress::Output;
    using Steps = std::vector<job::JobProgress>;
    const auto run = [this](const fs::path& zip) {
        Steps steps;
        job::process_zip(zip, 4, env, [&steps](const job::JobProgress& p) { steps.push_back(p); });
        return steps;
    };
    const Steps one_output{{S::unpacking, 0, 3},
                           {S::merging, 1, 3, O::all, 0, 3},
                           {S::merging, 2, 3, O::all, 0, 3},
                           {S::merging, 3, 3, O::all, 0, 3},
                           {S::saving, 3, 3, O::all, 0, 3}};
    const fs::path zip = archive("orders.zip", waybills("W", 3));
    EXPECT_EQ(run(zip), one_output) << "first run: every waybill new, one output";
    EXPECT_EQ(run(zip), one_output) << "second run: every waybill known, one output";

    // W1 to W3 known, W4 and W5 new: both outputs filled in one pass, then each saved.
    const Steps two_outputs{{S::unpacking, 0, 5},
                            {S::merging, 1, 5, O::all, 0, 5},
                            {S::merging, 2, 5, O::all, 0, 5},
                            {S::merging, 3, 5, O::all, 0, 5},
                            {S::merging, 4, 5, O::all, 0, 5},
                            {S::merging, 5, 5, O::all, 0, 5},
                            {S::saving, 5, 5, O::all, 0, 5},
                            {S::saving, 2, 2, O::new_only, 3, 5}};
    EXPECT_EQ(run(archive("mixed.zip", waybills("W", 5))), two_outputs);
}

// Names that the archive does not state to be UTF-8 are read in the code page of the
// user's system: CP866 where the language is Russian or Kazakh, as Windows' own
// compressed folder writes them there. The history records them so.
TEST_F(JobTest, NamesWithoutTheUtf8FlagAreReadInTheUsersCodePage) {
    struct Case {
        const char* lang;
        std::string name;
    };
    const Case cases[] = {
        {"ru_RU.UTF-8", "Накладная 4.pdf"},
        {"kk_KZ.UTF-8", "Накладная 4.pdf"},
        {"en_US.UTF-8", "ìá¬½áñ¡á∩ 4.pdf"},
    };
    fixtures::EnvVar language("LANGUAGE", nullptr), all("LC_ALL", nullptr), messages("LC_MESSAGES", nullptr),
        lang("LANG");
    for (const Case& c : cases) {
        lang.set(c.lang);
        env.history_dir = root / c.lang;  // a history of its own
        fs::create_directories(env.history_dir);
        const fs::path zip = archives / (std::string(c.lang) + ".zip");
        // "Накладная 4.pdf" in CP866, without the flag.
        fixtures::write_zip_entries(zip, {{.name = "\x8d\xa0\xaa\xab\xa0\xa4\xad\xa0\xef 4.pdf",
                                           .data = fixtures::pdf_bytes({{.label = c.lang}}),
                                           .utf8_flag = false}});
        job::process_zip(zip, 1, env);
        std::vector<std::string> names;
        for (const auto& [key, record] : history::load_history(env.history_dir).history) names.push_back(record.name);
        EXPECT_EQ(names, std::vector<std::string>{c.name}) << c.lang;
    }
}
