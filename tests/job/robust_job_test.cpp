// The merge job against what real use brings: damaged and unusual waybills, names too
// long, folders without access, several jobs at once, and jobs that are killed. No
// waybill may go missing or be recorded without the user hearing about it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "archive/intake.hpp"
#include "diag/errors.hpp"
#include "history/store.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "job/job.hpp"
#include "job/output_names.hpp"
#include "platform/claims.hpp"
#include "platform/platform.hpp"
#include "support/child.hpp"
#include "support/job_fixture.hpp"
#include "support/pdf_fixtures.hpp"
#include "support/raw_pdf.hpp"
#include "support/temp_dir.hpp"
#include "support/zip_fixtures.hpp"

namespace fs = std::filesystem;
using fixtures::names_in;
using fixtures::waybills;

namespace {

std::string no_page_waybill() {
    return fixtures::raw_pdf({{" /Type /Catalog /Pages 2 0 R"}, {" /Type /Pages /Kids [] /Count 0"}});
}

// How a message in `lang` introduces the library's own words.
std::string lang_detail(const std::string& lang) { return lang == "ru" ? "Подробности: " : "Толығырақ: "; }

class RobustJob : public fixtures::JobFixture {};

TEST_F(RobustJob, DamagedLockedOrEmptyWaybillFailsTheJobByNameInTheUsersLanguage) {
    struct Case {
        const char* what;
        std::string bytes;
        const char* ru;
        const char* kk;
    };
    const std::string plain = fixtures::pdf_bytes({{.label = "B"}});
    const Case cases[] = {
        {"user password", fixtures::encrypted_copy(plain, "1234", "owner"), "защищена паролем",
         "құпиясөзбен қорғалған"},
        {"no page", no_page_waybill(), "нет ни одной страницы", "бірде-бір бет жоқ"},
        {"not a PDF", "%PDF-1.7 garbage", "повреждена", "бүлінген"},
    };
    for (const Case& c : cases) {
        for (const char* lang : {"ru", "kk"}) {
            SCOPED_TRACE(std::string(c.what) + " " + lang);
            i18n::write_language(env.data_dir, lang);
            const fs::path zip = archive("orders.zip", {{"Заказ 1.pdf", plain}, {"Заказ 2.pdf", c.bytes}});
            const std::string message = failure(zip, 4);
            EXPECT_NE(message.find("«Заказ 2.pdf»"), std::string::npos) << message;
            EXPECT_NE(message.find(lang == std::string("ru") ? c.ru : c.kk), std::string::npos) << message;
            EXPECT_EQ(names_in(archives), std::set<std::string>{"orders.zip"});
            EXPECT_EQ(recorded(), 0u);
            EXPECT_FALSE(scratch_left());
        }
    }
    // MuPDF's own English stays only as the detail after our words.
    i18n::write_language(env.data_dir, "ru");
    const std::string message = failure(archive("bad.zip", {{"x.pdf", "%PDF-1.7 garbage"}}), 1);
    EXPECT_EQ(message.rfind("Накладная «x.pdf» повреждена", 0), 0u) << message;
    EXPECT_NE(message.find("\n\nПодробности: "), std::string::npos) << message;
}

// Every damaged waybill of an archive is named at once, by its path in the archive, so
// that one round of downloading mends them all; the first ten, then how many more.
TEST_F(RobustJob, EveryDamagedWaybillIsNamedInOneMessage) {
    const std::string plain = fixtures::pdf_bytes({{.label = "B"}});
    const std::string lost_page =
        fixtures::raw_pdf({{" /Type /Catalog /Pages 2 0 R"}, {" /Type /Pages /Kids [8000000 0 R] /Count 1"}});
    struct Case {
        int damaged;
        const char* lang;
        std::string wanted;  // the message up to the detail
    };
    const std::vector<Case> cases = {
        {3, "ru",
         "Накладные повреждены, программа не может их прочитать (3):\nдень 1/bad01.pdf\nдень 2/bad02.pdf\nbad03.pdf\n"
         "Скачайте эти накладные заново и соберите архив ещё раз."},
        {12, "kk",
         "Жүкқұжаттар бүлінген, бағдарлама оларды оқи алмайды (12):\nдень 1/bad01.pdf\nдень 2/bad02.pdf\nbad03.pdf\n"
         "bad04.pdf\nbad05.pdf\nbad06.pdf\nbad07.pdf\nbad08.pdf\nbad09.pdf\nbad10.pdf\nтағы 2\n"
         "Бұл жүкқұжаттарды қайта жүктеп алып, мұрағатты қайта жинаңыз."},
    };
    for (const Case& c : cases) {
        for (int nup : {1, 9}) {
            SCOPED_TRACE(std::to_string(c.damaged) + " " + c.lang + ", layout " + std::to_string(nup));
            i18n::write_language(env.data_dir, c.lang);
            std::vector<fixtures::ZipMember> members{{"a.pdf", plain},
                                                     {"день 1/bad01.pdf", "%PDF-1.7 garbage"},
                                                     {"день 2/bad02.pdf", lost_page},
                                                     {"bad03.pdf", fixtures::encrypted_copy(plain, "1234", "owner")},
                                                     {"z.pdf", plain}};
            for (int i = 4; i <= c.damaged; ++i)
                members.push_back({(i < 10 ? "bad0" : "bad") + std::to_string(i) + ".pdf", lost_page});
            const fs::path zip = archive("orders.zip", members);
            const std::string message = failure(zip, nup);
            const std::size_t detail = message.find("\n\n");
            EXPECT_EQ(message.substr(0, detail), c.wanted);
            // MuPDF's own English stays after our words, about the waybills named.
            ASSERT_NE(detail, std::string::npos) << message;
            EXPECT_EQ(message.find(lang_detail(c.lang), detail), detail + 2) << message;
            EXPECT_NE(message.find("день 1/bad01.pdf: ", detail), std::string::npos) << message;
            EXPECT_EQ(message.find("bad11.pdf"), std::string::npos) << "only the first ten are named: " << message;
            EXPECT_EQ(names_in(archives), std::set<std::string>{"orders.zip"});
            EXPECT_EQ(recorded(), 0u);
            EXPECT_FALSE(scratch_left());
        }
    }
}

// The archive is read while its waybills are merged. A damaged archive is told as
// such, however far the merge got and whatever it met: a waybill whose data fails its
// check while the ones before it are merged, or a member after every waybill (another
// file, a repeat) while a damaged waybill was already met. Nothing is left or recorded,
// whether the waybills are held in memory or in files.
TEST_F(RobustJob, ADamagedArchiveIsToldAsSuchWhateverTheMergeMetBefore) {
    struct Case {
        const char* what;
        std::vector<std::string> names;  // every member stored; the last one's data damaged
        std::string damaged_name;
    };
    const Case cases[] = {
        {"a waybill in the middle", {"a.pdf", "b.pdf", "d.pdf", "e.pdf", "c.pdf"}, "c.pdf"},
        {"another file after a damaged waybill", {"a.pdf", "bad.pdf", "z.pdf", "notes.txt"}, "notes.txt"},
        {"a repeat after a damaged waybill", {"a.pdf", "bad.pdf", "z.pdf", "копия/A.PDF"}, "копия/A.PDF"},
    };
    const std::string plain = fixtures::pdf_bytes({{.label = "B"}});
    for (const Case& c : cases) {
        for (const std::uint64_t budget : {archive::MEMORY_BUDGET_BYTES, std::uint64_t{0}}) {
            SCOPED_TRACE(std::string(c.what) + (budget == 0 ? ", in files" : ", in memory"));
            env.memory_budget = budget;
            const fs::path zip = archives / "orders.zip";
            std::vector<fixtures::ZipEntry> entries;
            for (const std::string& name : c.names)
                entries.push_back(
                    {.name = name, .data = name == "bad.pdf" ? "%PDF-1.7 garbage" : plain, .deflate = false});
            fixtures::write_zip_entries(zip, entries);
            fixtures::corrupt_data(zip, c.names.size() - 1);
            const std::string message = failure(zip, 4);
            EXPECT_EQ(message, i18n::t("zip_member_crc", "ru", {{"name", c.damaged_name}}));
            EXPECT_EQ(names_in(archives), std::set<std::string>{"orders.zip"});
            EXPECT_EQ(recorded(), 0u);
            EXPECT_FALSE(scratch_left());
        }
    }
}

TEST_F(RobustJob, RepairedWaybillIsMergedAndNamedInTheResultAndTheLogNote) {
    const fs::path zip = archive(
        "orders.zip", {{"a.pdf", fixtures::pdf_bytes({{.label = "A"}})}, {"день2/cut.pdf", fixtures::cut_waybill()}});
    const job::MergeResult r = job::process_zip(zip, 1, env);
    EXPECT_EQ(r.total_pages, 2);
    EXPECT_EQ(r.repaired, std::vector<std::string>{"день2/cut.pdf"}) << "named with its folder in the archive";
    const auto fields = job::merge_result_fields(r);
    EXPECT_EQ(fields[13], (std::pair<std::string, std::string>{"repaired", "день2/cut.pdf"}));
    EXPECT_EQ(recorded(), 2u) << "a repaired waybill was merged, so it is recorded";

    const auto note = job::repaired_waybills_log_note(zip, r);
    ASSERT_TRUE(note.has_value());
    EXPECT_NE(note->extra.find("\n  день2/cut.pdf"), std::string::npos) << note->extra;
    EXPECT_NE(note->extra.find(zip.string()), std::string::npos);
    job::MergeResult clean = r;
    clean.repaired.clear();
    EXPECT_FALSE(job::repaired_waybills_log_note(zip, clean).has_value());
}

TEST_F(RobustJob, RepeatsWithOtherContentAreCountedAndNamed) {
    const std::string a = fixtures::pdf_bytes({{.label = "A"}});
    const fs::path zip = archive(
        "orders.zip",
        {{"Заказ 1.pdf", a}, {"копия/заказ 1.pdf", fixtures::pdf_bytes({{.label = "A2"}})}, {"копия2/Заказ 1.pdf", a}});
    const job::MergeResult r = job::process_zip(zip, 4, env);
    EXPECT_EQ(r.file_count, 1);
    EXPECT_EQ(r.conflicting_duplicates, std::vector<std::string>{"копия/заказ 1.pdf"});
    EXPECT_EQ(job::merge_result_fields(r)[14],
              (std::pair<std::string, std::string>{"conflicting_duplicates", "копия/заказ 1.pdf"}));
}

TEST_F(RobustJob, OverLongMemberNamesAreMergedAndRecordedUnderTheirOwnNames) {
    std::string long_name;
    for (int i = 0; i < 140; ++i) long_name += "ж";  // 280 bytes: no file system takes it
    long_name += ".pdf";
    const std::string bytes = fixtures::pdf_bytes({{.label = "Long"}});
    const fs::path zip = archive("orders.zip", {{long_name, bytes}, {"b.pdf", fixtures::pdf_bytes({{.label = "B"}})}});
    const job::MergeResult r = job::process_zip(zip, 1, env);
    EXPECT_EQ(r.total_pages, 2);
    const history::History h = history::load_history(env.history_dir).history;
    const std::string key = history::history_key(long_name, bytes, 1);
    ASSERT_TRUE(h.contains(key));
    EXPECT_EQ(h.at(key).name, long_name);
}

TEST_F(RobustJob, AnArchiveNameTooLongForItsOutputsFailsBeforeUnpacking) {
    const std::string stem(230, 'o');
    const fs::path zip = archive(stem + ".zip", waybills("W", 2));
    const std::string message = failure(zip, 4);
    EXPECT_EQ(message.rfind("Имя готового PDF-файла получается слишком длинным", 0), 0u) << message;
    EXPECT_NE(message.find("…"), std::string::npos) << "the long name is cut in the middle";
    EXPECT_EQ(names_in(archives), std::set<std::string>{stem + ".zip"});
    EXPECT_FALSE(scratch_left()) << "nothing was unpacked";
}

// A name of up to 255 bytes, the temporary name's 12 more included: the longest
// archive name merges; one more letter, or a file already taking the output's name (so
// that it is numbered), is refused before anything is unpacked.
TEST_F(RobustJob, TheLongestArchiveNameWhoseOutputsFitMerges) {
    const std::string longest(255 - 12 - std::string("_Tarvo PDF Mergalo_NEW_MERGED_4up.pdf").size(), 'o');
    struct Case {
        std::string stem;
        bool output_there;
        bool merges;
    };
    const Case cases[] = {{longest, false, true}, {longest + "o", false, false}, {longest, true, false}};
    for (const Case& c : cases) {
        fs::remove_all(archives);
        fs::create_directories(archives);
        const std::size_t before = recorded();
        std::string prefix = "W";  // waybills of their own for each case
        prefix += std::to_string(&c - cases);
        const fs::path zip = archive(c.stem + ".zip", waybills(prefix, 2));
        if (c.output_there) fixtures::write_bytes(job::make_output_path(zip, 4, true, env.app_title), "x");
        const std::string message = failure(zip, 4);
        EXPECT_EQ(message == "ok", c.merges) << c.stem.size() << ": " << message;
        EXPECT_EQ(recorded() - before, c.merges ? 2u : 0u) << "a refused archive is refused before its merge";
    }
}

TEST_F(RobustJob, AFolderWithoutAccessIsNotCalledMissing) {
    const fs::path locked = archives / "закрыто";
    fs::create_directories(locked);
    fixtures::write_zip(locked / "orders.zip", waybills("W", 1));
    for (const fs::path& p : {root.path(), archives, env.history_dir, env.data_dir, env.temp_root})
        fs::permissions(p, fs::perms::all, fs::perm_options::add);
    fs::permissions(locked, fs::perms::none);
    const std::string message = fixtures::run_in_child([&] {
        if (!fixtures::drop_root()) return std::string("skip");
        return failure(locked / "orders.zip", 1);
    });
    fs::permissions(locked, fs::perms::owner_all);
    if (message == "skip") GTEST_SKIP() << "cannot run as an unprivileged user";
    EXPECT_EQ(message.rfind("Не удалось открыть ZIP-архив:", 0), 0u) << message;
    EXPECT_NE(message.find("Нет доступа"), std::string::npos) << message;
    EXPECT_EQ(message.find("не найден"), std::string::npos) << message;
}

// An archive in a folder the user may read but not write (another user's, the
// system's, a read-only disk): refused before anything is unpacked, with advice to move
// it, not to pick another folder; nothing is written anywhere.
TEST_F(RobustJob, AnArchiveFolderTheUserCannotWriteIsRefusedBeforeTheWork) {
    const fs::path shared = archives / "общая папка";
    fs::create_directories(shared);
    fixtures::write_zip(shared / "orders.zip", waybills("W", 3));
    for (const fs::path& p : {root.path(), archives, env.history_dir, env.data_dir, env.temp_root})
        fs::permissions(p, fs::perms::all, fs::perm_options::add);
    fs::permissions(shared,
                    fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read | fs::perms::others_exec);
    const std::string message = fixtures::run_in_child([&] {
        // A temporary folder private to its owner keeps another user out altogether.
        if (!fixtures::drop_root() || ::access((shared / "orders.zip").c_str(), R_OK) != 0) return std::string("skip");
        return failure(shared / "orders.zip", 4);
    });
    fs::permissions(shared, fs::perms::owner_all, fs::perm_options::add);
    if (message == "skip") GTEST_SKIP() << "cannot run as an unprivileged user";
    EXPECT_EQ(message, i18n::t("archive_folder_read_only", "ru", {{"path", shared}}));
    EXPECT_EQ(names_in(shared), std::set<std::string>{"orders.zip"});
    EXPECT_FALSE(scratch_left()) << "nothing was unpacked";
    EXPECT_EQ(recorded(), 0u);
}

// One job in a process of its own; the result as key=value lines, or the failure.
std::string job_in_child(const fs::path& zip, int nup, const job::JobEnvironment& env) {
    std::string out;
    for (const auto& [k, v] : job::merge_result_fields(job::process_zip(zip, nup, env))) out += k + "=" + v + "\n";
    return out;
}

std::map<std::string, std::string> fields_of(const std::string& text) {
    std::map<std::string, std::string> m;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (auto eq = line.find('='); eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
    return m;
}

TEST_F(RobustJob, TwoJobsOnTheSameArchiveAtOnceBothSucceedUnderTwoNames) {
    const fs::path zip = archive("orders.zip", waybills("W", 30));
    std::vector<std::unique_ptr<fixtures::Child>> jobs;
    for (int i = 0; i < 2; ++i)
        jobs.push_back(std::make_unique<fixtures::Child>([&] { return job_in_child(zip, 4, env); }));
    std::vector<std::map<std::string, std::string>> results;
    for (auto& j : jobs) results.push_back(fields_of(j->result()));
    std::set<std::string> outputs;
    int saw_all_new = 0;
    for (const auto& r : results) {
        ASSERT_TRUE(r.contains("out_pdf_all")) << "a job failed";
        outputs.insert(fs::path(r.at("out_pdf_all")).filename().string());
        saw_all_new += r.at("file_count_new") == "30";
    }
    EXPECT_EQ(outputs, (std::set<std::string>{"orders_Tarvo PDF Mergalo_MERGED_4up.pdf",
                                              "orders_Tarvo PDF Mergalo_MERGED_4up (1).pdf"}));
    EXPECT_EQ(saw_all_new, 1) << "the second job found every waybill known";
    EXPECT_EQ(recorded(), 30u);
    EXPECT_FALSE(scratch_left());
}

TEST_F(RobustJob, FourJobsAtOnceEachRecordEveryWaybillOfTheirArchive) {
    std::vector<fs::path> zips;
    for (int a = 0; a < 4; ++a) {
        const std::string n = std::to_string(a);
        zips.push_back(
            archive(std::string("day").append(n).append(".zip"), waybills(std::string("D").append(n).append("_"), 12)));
    }
    std::vector<std::unique_ptr<fixtures::Child>> jobs;
    for (const auto& zip : zips)
        jobs.push_back(std::make_unique<fixtures::Child>([&] { return job_in_child(zip, 1, env); }));
    for (auto& j : jobs) EXPECT_EQ(fields_of(j->result()).at("file_count"), "12");
    EXPECT_EQ(recorded(), 48u);
    // No job left a temporary file of the history or of an output behind.
    EXPECT_EQ(names_in(env.history_dir), (std::set<std::string>{"waybill_history.csv", "waybill_history.lock"}));
}

// Waits until `done` holds, for at most `seconds`.
template <class Done>
bool wait_until(Done done, double seconds = 30) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The history's lock held by another process while the object lives (a lock this
// process held would be inherited by the jobs it forks). `flags` is a folder for the
// two processes' signs to each other.
class HistoryHolder {
public:
    HistoryHolder(const fs::path& history_dir, const fs::path& flags)
        : flags_(flags), holder_([history_dir, flags] {
              const history::HistoryLock hold = history::lock_history(history_dir);
              fixtures::write_bytes(flags / "held", "");
              wait_until([&] { return fs::exists(flags / "release"); }, 120);
              return std::string("released");
          }) {}
    ~HistoryHolder() { fixtures::write_bytes(flags_ / "release", ""); }
    // Whether the lock was taken in time.
    bool held() const {
        return wait_until([this] { return fs::exists(flags_ / "held"); });
    }

private:
    fs::path flags_;
    fixtures::Child holder_;
};

std::vector<fs::path> scratch_folders(const fs::path& temp_root) {
    std::vector<fs::path> dirs;
    for (const auto& e : fs::directory_iterator(temp_root))
        if (e.is_directory() && e.path().filename().string().starts_with("mergalo_")) dirs.push_back(e.path());
    return dirs;
}

// A history another process keeps locked is waited for with the reason on screen, then
// the job is refused by a message that names the lock; nothing is left behind.
TEST_F(RobustJob, AHistoryHeldTooLongIsWaitedForThenRefusedByName) {
    const fs::path zip = archive("orders.zip", waybills("W", 2));
    const HistoryHolder holder(env.history_dir, root.path());
    ASSERT_TRUE(holder.held());
    env.history_wait = std::chrono::milliseconds(300);
    std::vector<job::JobProgress::Stage> stages;
    try {
        job::process_zip(zip, 4, env, [&](const job::JobProgress& p) {
            if (stages.empty() || stages.back() != p.stage) stages.push_back(p.stage);
        });
        ADD_FAILURE() << "the job ran while another held the history";
    } catch (const diag::RuntimeError& e) {
        const std::string lock = platform::utf8(history::history_lock_path(env.history_dir));
        EXPECT_NE(std::string(e.what()).find(lock), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("занята другим объединением"), std::string::npos) << e.what();
    }
    using S = job::JobProgress::Stage;
    EXPECT_EQ(stages, (std::vector<S>{S::unpacking, S::merging, S::waiting}));
    EXPECT_EQ(names_in(archives), std::set<std::string>{"orders.zip"});
    EXPECT_FALSE(scratch_left());
    EXPECT_EQ(recorded(), 0u);
}

TEST_F(RobustJob, KilledJobsLeaveNothingForLongAndLiveJobsLoseNothing) {
    const fs::path first = archive("first.zip", waybills("F", 5));
    const fs::path second = archive("second.zip", waybills("S", 5));
    const fs::path third = archive("third.zip", waybills("T", 5));
    const fs::path dead_output = archives / ".third_Tarvo PDF Mergalo_MERGED.pdf.Qw3rTy.tmp";
    std::unique_ptr<fixtures::Child> killed, live;
    std::optional<platform::ClaimedFile> writing;
    fs::path killed_folder;
    env.memory_budget = 0;  // the waybills go to files, in scratch folders a kill leaves behind
    {
        // While another process holds the history, jobs read and merge, then wait for it.
        const HistoryHolder holder(env.history_dir, root.path());
        ASSERT_TRUE(holder.held());
        killed = std::make_unique<fixtures::Child>([&] { return job_in_child(first, 1, env); });
        ASSERT_TRUE(wait_until([&] { return scratch_folders(env.temp_root).size() == 1; }));
        killed_folder = scratch_folders(env.temp_root).front();
        ASSERT_TRUE(wait_until([&] { return fs::exists(killed_folder / "F5.pdf"); }));
        // A second job sweeps the temporary folder before it makes its own: the first
        // job's folder is live and stays.
        live = std::make_unique<fixtures::Child>([&] { return job_in_child(second, 1, env); });
        ASSERT_TRUE(wait_until([&] { return scratch_folders(env.temp_root).size() == 2; }));
        EXPECT_TRUE(fs::exists(killed_folder / "F5.pdf")) << "a live job's folder was removed";
        // kill -9: no clean-up runs, the folder stays behind.
        ::kill(killed->pid(), SIGKILL);
        EXPECT_EQ(killed->result(), "signal 9");
        EXPECT_TRUE(fs::exists(killed_folder));
        // A hidden output of a job killed while saving, and one being written now.
        fixtures::write_bytes(dead_output, "half");
        fs::last_write_time(dead_output, fs::file_time_type::clock::now() - std::chrono::hours(1));
        writing = platform::reserve_claimed_sibling(archives / "other_Tarvo PDF Mergalo_MERGED.pdf", ".tmp");
        fs::last_write_time(writing->path, fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
    EXPECT_EQ(fields_of(live->result())["file_count"], "5");
    // The next job clears what the killed one left, and only that.
    job::process_zip(third, 1, env);
    EXPECT_FALSE(scratch_left()) << "the killed job's folder and lock file are gone";
    EXPECT_FALSE(fs::exists(dead_output));
    EXPECT_TRUE(fs::exists(writing->path));
    std::set<std::string> names;
    for (const auto& [key, record] : history::load_history(env.history_dir).history)
        names.insert(record.name.substr(0, 1));
    EXPECT_EQ(names, (std::set<std::string>{"S", "T"})) << "the killed job recorded nothing";
}

}  // namespace
