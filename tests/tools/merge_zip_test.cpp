// The merge_zip driver run as the program runs: a process of its own, told to stop by
// signals, with a settings folder that cannot be made, printing what the user must know.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/child.hpp"
#include "support/job_fixture.hpp"
#include "support/pdf_fixtures.hpp"
#include "support/temp_dir.hpp"
#include "support/zip_fixtures.hpp"

namespace fs = std::filesystem;
using fixtures::names_in;

namespace {

class MergeZip : public ::testing::Test {
protected:
    fixtures::TempDir root;
    fs::path app = root / "app";  // a copy of merge_zip: its history lands beside it
    fs::path tmp = root / "tmp";
    fs::path archives = root / "archives";
    fixtures::RunOptions options{.env = {{"TMPDIR", tmp.string()},
                                         {"HOME", (root / "home").string()},
                                         {"LOCALAPPDATA", (root / "local").string()},
                                         {"LANGUAGE", ""},
                                         {"LC_ALL", ""},
                                         {"LC_MESSAGES", ""},
                                         {"LANG", ""}}};

    void SetUp() override {
        for (const auto& d : {app, tmp, archives, root / "home"}) fs::create_directories(d);
        fs::copy_file(MERGE_ZIP_EXE, app / "merge_zip");
        fs::permissions(app / "merge_zip", fs::perms::owner_all);
    }

    pid_t start(const fs::path& zip, int nup) {
        return fixtures::start_program({(app / "merge_zip").string(), zip.string(), std::to_string(nup)}, options,
                                       root / "out.txt", root / "err.txt");
    }

    // Runs to the end; the exit code.
    int run(const fs::path& zip, int nup) {
        const int status = fixtures::wait_for(start(zip, nup));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    std::string out() const { return fixtures::read_bytes(root / "out.txt"); }
    std::string err() const { return fixtures::read_bytes(root / "err.txt"); }
};

TEST_F(MergeZip, EachStopSignalCleansUpAsAFailureDoes) {
    // Enough waybills that the job is still reading or merging when the signal comes.
    std::vector<fixtures::ZipMember> members;
    const std::string page = fixtures::pdf_bytes({{.label = "W", .image = true}});
    for (int i = 0; i < 3000; ++i) members.push_back({std::string("W").append(std::to_string(i)).append(".pdf"), page});
    const fs::path zip = archives / "orders.zip";
    fixtures::write_zip(zip, members);

    const fs::path lock = app / "waybill_history.lock";
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        for (const bool merging : {false, true}) {
            SCOPED_TRACE(std::string(strsignal(sig)) + (merging ? " while merging" : " at once"));
            fs::remove(lock);
            const pid_t pid = start(zip, 4);
            // At once (the archive is being read into memory), or once the job holds the
            // history (it merges): then it is told to stop.
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (merging && !fs::exists(lock) && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ::kill(pid, sig);
            const int status = fixtures::wait_for(pid);
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                ADD_FAILURE() << "the job finished before the signal came";
                continue;
            }
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status << ": " << err();
            EXPECT_EQ(names_in(tmp), std::set<std::string>{}) << "scratch folder and its lock removed";
            EXPECT_EQ(names_in(archives), std::set<std::string>{"orders.zip"});
            // Beside the program, the history and its lock as far as the job got, and nothing else.
            std::set<std::string> in_app = names_in(app);
            for (const char* history : {"waybill_history.csv", "waybill_history.lock"}) in_app.erase(history);
            EXPECT_EQ(in_app, std::set<std::string>{"merge_zip"});
        }
    }
}

TEST_F(MergeZip, ASettingsFolderThatCannotBeMadeDoesNotStopTheMerge) {
    fixtures::write_bytes(root / "local", "a file where the folder should be");
    const fs::path zip = archives / "orders.zip";
    fixtures::write_zip(zip, {{"a.pdf", fixtures::pdf_bytes({{.label = "A"}})}});
    EXPECT_EQ(run(zip, 1), 0) << err();
    EXPECT_NE(out().find("file_count=1\n"), std::string::npos) << out();

    // The language is then the system's.
    for (auto& [name, value] : options.env)
        if (name == "LANGUAGE") value = "kk";
    fixtures::write_zip(archives / "bad.zip", {{"b.pdf", "%PDF-1.7 nothing"}});
    EXPECT_EQ(run(archives / "bad.zip", 1), 1);
    EXPECT_NE(err().find("«b.pdf» жүкқұжаты бүлінген"), std::string::npos) << err();
}

TEST_F(MergeZip, PrintsTheRepairedAndTheConflictingWaybills) {
    const fs::path zip = archives / "orders.zip";
    fixtures::write_zip(zip, {{"cut.pdf", fixtures::cut_waybill()},
                              {"a.pdf", fixtures::pdf_bytes({{.label = "A"}})},
                              {"copy/a.pdf", fixtures::pdf_bytes({{.label = "A2"}})}});
    EXPECT_EQ(run(zip, 1), 0) << err();
    const std::string text = out();
    EXPECT_NE(text.find("\nnup=1\nrepaired=cut.pdf\nconflicting_duplicates=copy/a.pdf\n"), std::string::npos) << text;
}

TEST_F(MergeZip, ADamagedHistoryRecordIsSkippedAndCounted) {
    const fs::path zip = archives / "orders.zip";
    fixtures::write_zip(zip, {{"a.pdf", fixtures::pdf_bytes({{.label = "A"}})}});
    ASSERT_EQ(run(zip, 1), 0) << err();
    EXPECT_NE(out().find("\nskipped_history_records=0\nhistory_copy=\n"), std::string::npos) << out();

    // A record with an unclosed quote: the good record beside it still counts.
    const fs::path history = app / "waybill_history.csv";
    const std::string damaged = fixtures::read_bytes(history) + "\"x.pdf;01.01.2025 10:00:00;k;1\r\n";
    fixtures::write_bytes(history, damaged);
    ASSERT_EQ(run(zip, 1), 0) << err();
    const std::string text = out();
    EXPECT_NE(text.find("\nfile_count_new=0\n"), std::string::npos) << text;
    EXPECT_NE(
        text.find("\nskipped_history_records=1\nhistory_copy=" + (app / "waybill_history.csv.bad").string() + "\n"),
        std::string::npos)
        << text;
    EXPECT_EQ(fixtures::read_bytes(app / "waybill_history.csv.bad"), damaged);
}

}  // namespace
