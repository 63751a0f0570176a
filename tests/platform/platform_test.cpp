// The POSIX half of the platform layer: the staged file writer, claims and locks that
// dead processes cannot keep, and the clean-up when the process is told to stop.
#include "platform/platform.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "platform/claims.hpp"
#include "platform/scratch_file.hpp"
#include "platform/scratch_folder.hpp"
#include "platform/staged_file.hpp"
#include "platform/termination.hpp"
#include "support/env.hpp"
#include "support/temp_dir.hpp"

namespace fs = std::filesystem;

// The OEM code page follows the language: Russian and Kazakh Windows store archive
// names in CP866.
TEST(Platform, UiLanguageAndOemCodePageFollowTheFirstSetLocaleVariable) {
    struct Case {
        const char* language;
        const char* lang;
        std::optional<std::uint16_t> id;
        std::uint16_t oem_code_page;
    };
    const Case cases[] = {
        {"kk_KZ:ru", "en_US.UTF-8", 0x043F, 866}, {"", "ru_RU.UTF-8", 0x0419, 866},
        {nullptr, "kk_KZ.UTF-8", 0x043F, 866},    {nullptr, "de_DE.UTF-8", 0x0409, 437},
        {"en_GB:ru", "ru_RU.UTF-8", 0x0409, 437}, {nullptr, "C", 0x0409, 437},
        {nullptr, nullptr, std::nullopt, 437},
    };
    fixtures::EnvVar language("LANGUAGE"), all("LC_ALL", nullptr), messages("LC_MESSAGES", nullptr), lang("LANG");
    for (const auto& c : cases) {
        language.set(c.language);
        lang.set(c.lang);
        const std::string where =
            std::string("LANGUAGE=") + (c.language ? c.language : "(unset)") + " LANG=" + (c.lang ? c.lang : "(unset)");
        EXPECT_EQ(platform::ui_language_id(), c.id) << where;
        EXPECT_EQ(platform::oem_code_page(), c.oem_code_page) << where;
    }
}

std::string hex_of(const std::array<std::uint8_t, 32>& digest) {
    std::string hex;
    for (std::uint8_t byte : digest) {
        constexpr const char* digits = "0123456789abcdef";
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0F];
    }
    return hex;
}

// Reference digests from FIPS 180-2, whole and fed in pieces of several sizes (empty
// pieces included): the digest must not depend on how the data was cut. The long input
// crosses any internal block and chunk boundary the implementation might have.
TEST(Platform, Sha256MatchesTheReferenceDigestsWholeAndInPieces) {
    struct Case {
        std::string input;
        std::size_t piece;  // 0: whole
        const char* hex;
    };
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string million(1000000, 'a');
    const Case cases[] = {
        {"", 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 0, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {two_blocks, 0, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {two_blocks, 7, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {two_blocks, 64, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {million, 0, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {million, 65537, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        if (c.piece == 0) {
            EXPECT_EQ(hex_of(platform::sha256(c.input)), c.hex) << c.input.size() << " bytes";
            continue;
        }
        platform::Sha256 hash;
        hash.update("");
        for (std::size_t at = 0; at < c.input.size(); at += c.piece)
            hash.update(std::string_view(c.input).substr(at, c.piece));
        EXPECT_EQ(hex_of(hash.final()), c.hex) << c.input.size() << " bytes in pieces of " << c.piece;
    }
    // A finished digest takes no more data, rather than hashing on from a spent state.
    platform::Sha256 nothing;
    EXPECT_EQ(hex_of(nothing.final()), cases[0].hex);
    EXPECT_THROW(nothing.update("abc"), std::runtime_error);
    EXPECT_THROW(nothing.final(), std::runtime_error);
    // A moved hash goes on where the original was.
    platform::Sha256 first;
    first.update("ab");
    platform::Sha256 second = std::move(first);
    second.update("c");
    EXPECT_EQ(hex_of(second.final()), cases[1].hex);
}

// create_folder makes one level only and accepts a folder, never a file or a link, in the way.
TEST(Platform, CreateFolderMakesOneLevelAndRefusesWhatIsInTheWay) {
    fixtures::TempDir tmp;
    platform::create_folder(tmp / "a");
    EXPECT_TRUE(fs::is_directory(tmp / "a"));
    EXPECT_NO_THROW(platform::create_folder(tmp / "a"));
    EXPECT_THROW(platform::create_folder(tmp / "missing" / "b"), fs::filesystem_error);
    EXPECT_FALSE(fs::exists(tmp / "missing"));
    { std::ofstream(tmp / "file") << "x"; }
    EXPECT_THROW(platform::create_folder(tmp / "file"), fs::filesystem_error);
    fs::create_directory_symlink(tmp / "a", tmp / "link");
    EXPECT_THROW(platform::create_folder(tmp / "link"), fs::filesystem_error);
}

TEST(Platform, PrivateDirIsNewAndOwnerOnly) {
    fixtures::TempDir tmp;
    fs::path a = platform::make_private_dir(tmp.path(), "mergalo_");
    fs::path b = platform::make_private_dir(tmp.path(), "mergalo_");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.filename().string().rfind("mergalo_", 0), 0u);
    struct stat st {};
    ASSERT_EQ(::stat(a.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_THROW(platform::make_private_dir(tmp / "missing", "x_"), fs::filesystem_error);
}

// Sets a file's modification time back, as if it were left there long ago.
void age(const fs::path& p, std::chrono::hours by = std::chrono::hours(2)) {
    fs::last_write_time(p, fs::file_time_type::clock::now() - by);
}

TEST(StagedFile, CommitReplacesWholeAndLeavesNoTemporary) {
    fixtures::TempDir tmp;
    fs::path target = tmp / "waybill_history.csv";
    fixtures::write_bytes(target, "old content that is longer");
    platform::write_file_atomically(target, "new");
    EXPECT_EQ(fixtures::read_bytes(target), "new");
    EXPECT_EQ(fixtures::names_in(tmp.path()), std::set<std::string>{"waybill_history.csv"});
}

TEST(StagedFile, AbandonedWriteKeepsTheOldFile) {
    fixtures::TempDir tmp;
    fs::path target = tmp / "settings.json";
    fixtures::write_bytes(target, "{}");
    {
        platform::StagedFile f(target);
        f.write("half of a new fi");
        EXPECT_EQ(f.temp_path().parent_path(), tmp.path());
        EXPECT_EQ(f.temp_path().filename().string().rfind(".settings.json.", 0), 0u) << f.temp_path();
        EXPECT_EQ(fixtures::read_bytes(f.temp_path()), "half of a new fi");
    }
    EXPECT_EQ(fixtures::read_bytes(target), "{}");
    EXPECT_EQ(fixtures::names_in(tmp.path()), std::set<std::string>{"settings.json"});
}

TEST(StagedFile, FailedRenameKeepsTheTargetAndRemovesTheTemporary) {
    fixtures::TempDir tmp;
    fs::path target = tmp / "out.csv";
    fs::create_directories(target / "child");  // a non-empty folder cannot be replaced by a file
    EXPECT_THROW(platform::write_file_atomically(target, "x"), fs::filesystem_error);
    EXPECT_TRUE(fs::is_directory(target / "child"));
    EXPECT_EQ(fixtures::names_in(tmp.path()), std::set<std::string>{"out.csv"});
}

TEST(StagedFile, TwoWritersAtOnceNeverShareOrRemoveEachOthersTemporaryFile) {
    fixtures::TempDir tmp;
    fs::path target = tmp / "waybill_history.csv";
    platform::StagedFile first(target);
    platform::StagedFile second(target);
    EXPECT_NE(first.temp_path(), second.temp_path());
    first.write("first");
    second.write("second");
    second.commit();
    EXPECT_EQ(fixtures::read_bytes(first.temp_path()), "first") << "the other writer's file is untouched";
    // Even an old-looking temporary file is left alone while its writer lives.
    age(first.temp_path());
    platform::write_file_atomically(target, "third");
    EXPECT_TRUE(fs::exists(first.temp_path()));
    first.commit();
    EXPECT_EQ(fixtures::read_bytes(target), "first");
}

TEST(StagedFile, TemporaryFilesOfDeadWritersAreRemovedByTheNextOne) {
    fixtures::TempDir tmp;
    fs::path target = tmp / "waybill_history.csv";
    // Left by processes that were killed: nobody claims them any more.
    fixtures::write_bytes(tmp / ".waybill_history.csv.aB3dE9.tmp", "half");
    fixtures::write_bytes(tmp / ".waybill_history.csv.young1.tmp", "just made");
    fixtures::write_bytes(tmp / ".settings.json.xY7zQ2.tmp", "another file's");
    fixtures::write_bytes(tmp / "waybill_history.tmp", "a name this program no longer writes");
    for (const char* old : {".waybill_history.csv.aB3dE9.tmp", ".settings.json.xY7zQ2.tmp", "waybill_history.tmp"})
        age(tmp / old);
    platform::write_file_atomically(target, "new");
    EXPECT_EQ(fixtures::names_in(tmp.path()),
              (std::set<std::string>{".settings.json.xY7zQ2.tmp", ".waybill_history.csv.young1.tmp",
                                     "waybill_history.csv", "waybill_history.tmp"}));
}

TEST(Claims, AClaimedFileIsNeverRemovedAndAnUnclaimedOldOneIs) {
    fixtures::TempDir tmp;
    const fs::path file = tmp / "f";
    fixtures::write_bytes(file, "x");
    age(file);
    {
        platform::FileClaim claim(file);
        EXPECT_TRUE(claim.held());
        EXPECT_FALSE(platform::remove_if_unclaimed(file));
        platform::FileClaim second(file);  // claims may be shared
        EXPECT_FALSE(platform::remove_if_unclaimed(file, std::chrono::seconds{0}));
    }
    fixtures::write_bytes(tmp / "young", "y");
    EXPECT_FALSE(platform::remove_if_unclaimed(tmp / "young")) << "too young to be a left-over";
    EXPECT_TRUE(platform::remove_if_unclaimed(tmp / "young", std::chrono::seconds{0}));
    EXPECT_TRUE(platform::remove_if_unclaimed(file));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(platform::remove_if_unclaimed(tmp / "missing"));
}

TEST(Claims, ScratchFoldersOfDeadProcessesGoAndLiveOnesStay) {
    fixtures::TempDir tmp;
    platform::ClaimedFolder live = platform::make_claimed_private_dir(tmp.path(), "mergalo_");
    fixtures::write_bytes(live.path / "a.pdf", "live");
    EXPECT_EQ(live.lock_path, fs::path(live.path).concat(".lock"));
    struct stat st {};
    ASSERT_EQ(::stat(live.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A folder whose owner was killed: its lock file is there, but unclaimed.
    platform::ClaimedFolder dead = platform::make_claimed_private_dir(tmp.path(), "mergalo_");
    fixtures::write_bytes(dead.path / "sub" / "b.pdf", "dead");
    dead.claim.release();
    // An older program's folder without a lock: removed only when days old.
    fixtures::write_bytes(tmp / "mergalo_old" / "c.pdf", "old");
    age(tmp / "mergalo_old", std::chrono::hours(48));
    fixtures::write_bytes(tmp / "mergalo_new" / "d.pdf", "new");
    age(tmp / "mergalo_new");
    // A lock file left without its folder, and someone else's folder.
    fixtures::write_bytes(tmp / "mergalo_gone.lock", "");
    age(tmp / "mergalo_gone.lock");
    fixtures::write_bytes(tmp / "other" / "e.pdf", "other");

    EXPECT_EQ(platform::remove_dead_private_dirs(tmp.path(), "mergalo_"), 2);
    EXPECT_TRUE(fs::exists(live.path / "a.pdf"));
    EXPECT_TRUE(fs::exists(live.lock_path));
    EXPECT_FALSE(fs::exists(dead.path));
    EXPECT_FALSE(fs::exists(dead.lock_path));
    EXPECT_FALSE(fs::exists(tmp / "mergalo_old"));
    EXPECT_TRUE(fs::exists(tmp / "mergalo_new" / "d.pdf"));
    EXPECT_FALSE(fs::exists(tmp / "mergalo_gone.lock"));
    EXPECT_TRUE(fs::exists(tmp / "other" / "e.pdf"));
}

TEST(Claims, ScratchFolderGoesWithItsOwnerAndItsLock) {
    fixtures::TempDir tmp;
    fs::path path;
    {
        platform::ScratchFolder scratch(tmp.path(), "mergalo_");
        path = scratch.path();
        fixtures::write_bytes(path / "x" / "y.pdf", "y");
        EXPECT_EQ(platform::remove_dead_private_dirs(tmp.path(), "mergalo_"), 0);
        EXPECT_TRUE(fs::exists(path / "x" / "y.pdf"));
    }
    EXPECT_TRUE(fs::is_empty(tmp.path()));
}

TEST(Claims, HiddenTemporaryFilesAreSweptOnlyWhenDeadAndWanted) {
    fixtures::TempDir tmp;
    platform::ClaimedFile live = platform::reserve_claimed_sibling(tmp / "a_MERGED.pdf", ".tmp");
    age(live.path);
    for (const char* name : {".b_MERGED.pdf.q1w2e3.tmp", ".c_other.pdf.q1w2e3.tmp", "d_MERGED.pdf.tmp"}) {
        fixtures::write_bytes(tmp / name, "x");
        age(tmp / name);
    }
    const auto wanted = [](std::string_view name) { return name.find("_MERGED") != std::string_view::npos; };
    EXPECT_EQ(platform::remove_dead_temp_files(tmp.path(), wanted), 1);
    EXPECT_TRUE(fs::exists(live.path));
    EXPECT_FALSE(fs::exists(tmp / ".b_MERGED.pdf.q1w2e3.tmp"));
    EXPECT_TRUE(fs::exists(tmp / ".c_other.pdf.q1w2e3.tmp"));
    EXPECT_TRUE(fs::exists(tmp / "d_MERGED.pdf.tmp"));
    live.claim.release();
    EXPECT_EQ(platform::remove_dead_temp_files(tmp.path(), wanted), 1);
}

TEST(FileLock, ASecondHolderWaitsABoundedTimeAndAKilledHolderFreesIt) {
    using namespace std::chrono_literals;
    fixtures::TempDir tmp;
    const fs::path lock = tmp / "waybill_history.lock";
    // Another process takes the lock and is killed while holding it.
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        platform::FileLock held(lock, 0ms);
        fixtures::write_bytes(tmp / "held", "");
        for (;;) ::pause();
    }
    while (!fs::exists(tmp / "held")) std::this_thread::sleep_for(std::chrono::milliseconds(5));

    // A short wait gives up, saying so, after telling once that it waits.
    int told = 0;
    try {
        platform::FileLock mine(lock, 150ms, [&] { ++told; });
        ADD_FAILURE() << "the lock was taken while another process held it";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::errc::timed_out);
    }
    EXPECT_EQ(told, 1);

    std::atomic<int> waits{0};
    std::atomic<bool> taken{false};
    std::thread waiter([&] {
        platform::FileLock mine(lock, 60s, [&] { ++waits; });
        taken = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(taken) << "the lock was taken while another process held it";
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    waiter.join();
    EXPECT_TRUE(taken);
    EXPECT_EQ(waits, 1);
    EXPECT_TRUE(fs::exists(lock)) << "the lock file stays";
    // Free: taken at once, nobody told of a wait.
    int free_waits = 0;
    platform::FileLock again(lock, 0ms, [&] { ++free_waits; });
    EXPECT_EQ(free_waits, 0);
}

TEST(Termination, RegisteredPathsAreRemovedAndTheProcessEndsByTheSignal) {
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(sig);
        fixtures::TempDir tmp;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            platform::enable_cleanup_on_termination();
            fixtures::write_bytes(tmp / "scratch" / "deep" / "a.pdf", "a");
            fixtures::write_bytes(tmp / "partial.tmp", "half");
            fixtures::write_bytes(tmp / "kept.pdf", "kept");
            platform::RemoveOnTermination scratch(tmp / "scratch");
            platform::RemoveOnTermination partial(tmp / "partial.tmp");
            {
                platform::RemoveOnTermination dropped(tmp / "kept.pdf");  // unregistered again
            }
            fixtures::write_bytes(tmp / "ready", "");
            for (;;) ::pause();
        }
        while (!fs::exists(tmp / "ready")) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::kill(child, sig);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        EXPECT_FALSE(fs::exists(tmp / "scratch"));
        EXPECT_FALSE(fs::exists(tmp / "partial.tmp"));
        EXPECT_TRUE(fs::exists(tmp / "kept.pdf"));
    }
}

TEST(Termination, AStepMarkedWholeIsFinishedBeforeTheCleanUp) {
    fixtures::TempDir tmp;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        platform::enable_cleanup_on_termination();
        fixtures::write_bytes(tmp / "output.pdf", "out");
        platform::RemoveOnTermination output(tmp / "output.pdf");
        platform::without_termination([&] {
            fixtures::write_bytes(tmp / "ready", "");
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            fixtures::write_bytes(tmp / "recorded", "");
            output.reset();  // the job is complete: its output stays
        });
        for (;;) ::pause();
    }
    while (!fs::exists(tmp / "ready")) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(fs::exists(tmp / "recorded"));
    EXPECT_TRUE(fs::exists(tmp / "output.pdf"));
}

TEST(StagedFile, UnwritableFolderFailsAtOpen) {
    fixtures::TempDir tmp;
    EXPECT_THROW(platform::StagedFile(tmp / "missing" / "x.csv"), fs::filesystem_error);
}

// A file system may refuse the last bytes of a file only when it is closed (a network
// one, a quota): a close that fails fails the scratch file. Here its descriptor is
// closed behind its back, so that its own close fails.
TEST(ScratchFile, AFailedCloseFailsTheFile) {
    fixtures::TempDir tmp;
    platform::ScratchFile file(tmp / "a.pdf", platform::ScratchFile::Lifetime::object);
    file.write("%PDF");
    int fd = -1;
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(e.path(), ec) == tmp / "a.pdf") fd = std::stoi(e.path().filename().string());
    }
    ASSERT_GE(fd, 0);
    ::close(fd);
    try {
        file.finish();
        ADD_FAILURE() << "a failed close went unnoticed";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.path1(), tmp / "a.pdf") << e.what();
    }
}

TEST(Platform, ReservedSiblingIsNewAndRenameNeverReplaces) {
    fixtures::TempDir tmp;
    fs::path target = tmp / "orders_MERGED.pdf";
    fs::path a = platform::reserve_sibling(target, ".tmp");
    fs::path b = platform::reserve_sibling(target, ".tmp");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.parent_path(), tmp.path());
    EXPECT_EQ(a.extension(), ".tmp");
    EXPECT_TRUE(fs::is_regular_file(a));

    fixtures::write_bytes(a, "first");
    platform::rename_no_replace(a, target);
    EXPECT_EQ(fixtures::read_bytes(target), "first");
    EXPECT_FALSE(fs::exists(a));

    fixtures::write_bytes(b, "second");
    try {
        platform::rename_no_replace(b, target);
        FAIL() << "an existing file was replaced";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::errc::file_exists);
    }
    EXPECT_EQ(fixtures::read_bytes(target), "first");
    EXPECT_THROW(platform::reserve_sibling(tmp / "missing" / "x.pdf", ".tmp"), fs::filesystem_error);
}

// The scratch tree of a merge: folders made at any depth, listed without following
// links, and removed whole without touching what a link points to.
TEST(Platform, FolderTreeIsMadeListedAndRemovedWithoutFollowingLinks) {
    fixtures::TempDir tmp;
    const fs::path root = tmp / "scratch";
    const fs::path deep = root / "Заказы" / "сентябрь" / "день 1";
    platform::create_folders(deep);
    platform::create_folders(deep);  // already there: nothing to do
    std::ofstream(deep / "накладная.pdf") << "%PDF";
    const fs::path outside = tmp / "outside";
    fs::create_directory(outside);
    std::ofstream(outside / "keep.txt") << "keep";
    fs::create_directory_symlink(outside, root / "link");

    std::map<std::string, fs::file_type> listed;
    for (const auto& e : platform::list_folder(root)) listed[e.path.filename().string()] = e.type;
    const std::map<std::string, fs::file_type> expected{{"Заказы", fs::file_type::directory},
                                                        {"link", fs::file_type::symlink}};
    EXPECT_EQ(listed, expected);
    ASSERT_EQ(platform::list_folder(deep).size(), 1u);
    EXPECT_EQ(platform::list_folder(deep)[0].type, fs::file_type::regular);

    // A file where a folder should go is an error, not a silent success.
    EXPECT_THROW(platform::create_folders(deep / "накладная.pdf" / "x"), fs::filesystem_error);
    EXPECT_THROW(platform::list_folder(tmp / "missing"), fs::filesystem_error);

    EXPECT_TRUE(platform::remove_tree(root));
    EXPECT_FALSE(fs::exists(root));
    EXPECT_TRUE(fs::exists(outside / "keep.txt"));
}

// The opener's answer decides: a failure status of xdg-open (no program for such files,
// or the program failed to start) is reported, success and an opener still running
// after the wait (a viewer it keeps running in the foreground) are not.
TEST(Platform, OpenReportsTheOpenersFailure) {
    fixtures::TempDir dir;
    const fs::path bin = dir / "bin";
    fs::create_directories(bin);
    fixtures::EnvVar path("PATH", (bin.string() + ":/usr/bin:/bin").c_str());
    const struct {
        const char* body;  // the stand-in xdg-open's script after its argument is recorded
        bool opened;
    } cases[] = {
        {"exit 0", true},
        {"exit 3", false},                       // no method available for such files
        {"exit 4", false},                       // the program found could not be started
        {"sleep 1; exit 3", false},              // slow to answer, but within the wait
        {"kill -9 $$", false},                   // killed, no exit status at all
        {"exec sleep 8 >/dev/null 2>&1", true},  // still running: the viewer runs in its foreground
    };
    for (const auto& c : cases) {
        fs::remove(dir / "args");
        {
            std::ofstream script(bin / "xdg-open");
            script << "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > \"" << (dir / "args").string() << "\"\n"
                   << c.body << "\n";
        }
        fs::permissions(bin / "xdg-open", fs::perms(0755));
        const std::string target = (dir / "Накладные 'пн' $x.pdf").string();
        EXPECT_EQ(platform::shell_open(target), c.opened) << c.body;
        EXPECT_EQ(fixtures::read_bytes(dir / "args"), "1\n" + target + "\n") << c.body;
    }
    // No xdg-open at all.
    fs::remove(bin / "xdg-open");
    fixtures::EnvVar empty_path("PATH", bin.string().c_str());
    EXPECT_FALSE(platform::shell_open((dir / "a.pdf").string()));
}

// Opening a file, a folder or a link starts xdg-open and does not wait for it; once it
// has ended it must not stay behind as a zombie child of this long-lived process.
TEST(Platform, OpenedThingsLeaveNoZombieBehind) {
    fixtures::TempDir dir;
    // A stand-in xdg-open that writes its process id and ends at once.
    const fs::path bin = dir / "bin";
    fs::create_directories(bin);
    {
        std::ofstream script(bin / "xdg-open");
        script << "#!/bin/sh\necho $$ > \"" << (dir / "pid.tmp").string() << "\"\nmv \"" << (dir / "pid.tmp").string()
               << "\" \"" << (dir / "pid").string() << "\"\n";
    }
    fs::permissions(bin / "xdg-open", fs::perms(0755));
    fixtures::EnvVar path("PATH", (bin.string() + ":/usr/bin:/bin").c_str());

    for (const std::string& target :
         {(dir / "waybills.pdf").string(), dir.path().string(), std::string("https://t.me/x")}) {
        fs::remove(dir / "pid");
        ASSERT_TRUE(platform::shell_open(target)) << target;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!fs::exists(dir / "pid") && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(dir / "pid");
        int pid = 0;
        ASSERT_TRUE(in >> pid) << "xdg-open did not run for " << target;
        // A child that has ended but was never waited for keeps its /proc entry.
        const fs::path proc = fs::path("/proc") / std::to_string(pid);
        while (fs::exists(proc) && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(fs::exists(proc)) << "xdg-open for " << target << " is left a zombie";
    }
}

// user-dirs.dirs as xdg-user-dirs writes it (and as a user edits it): the last line of
// the key counts; $HOME is the home folder; a folder switched off ("$HOME/") is none.
TEST(Platform, DownloadsFolderComesFromUserDirsElseDownloadsUnderHome) {
    const fs::path home = "/home/продавец";
    struct Case {
        const char* what;
        std::string text;
        std::optional<fs::path> want;
    };
    const std::vector<Case> cases{
        {"home-relative",
         "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Рабочий стол\"\n"
         "XDG_DOWNLOAD_DIR=\"$HOME/Загрузки\"\n",
         home / "Загрузки"},
        {"absolute, quotes escaped, last one counts",
         "XDG_DOWNLOAD_DIR=\"$HOME/old\"\n  XDG_DOWNLOAD_DIR=\"/data/Мои \\\"файлы\\\"\"\r\n",
         fs::path("/data/Мои \"файлы\"")},
        {"switched off", "XDG_DOWNLOAD_DIR=\"$HOME/\"\n", std::nullopt},
        {"another key only", "XDG_DOCUMENTS_DIR=\"$HOME/Документы\"\n", std::nullopt},
        {"a longer key", "XDG_DOWNLOAD_DIRS=\"$HOME/x\"\n", std::nullopt},
        {"not closed", "XDG_DOWNLOAD_DIR=\"$HOME/Загрузки\n", std::nullopt},
        {"relative", "XDG_DOWNLOAD_DIR=\"Загрузки\"\n", std::nullopt},
        {"$HOMEx", "XDG_DOWNLOAD_DIR=\"$HOMEx/y\"\n", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::xdg_user_dir(c.text, "XDG_DOWNLOAD_DIR", home), c.want) << c.what;

    fixtures::TempDir dir;
    fixtures::EnvVar home_var("HOME", dir.path().c_str()), config("XDG_CONFIG_HOME", (dir / "conf").c_str());
    EXPECT_EQ(platform::downloads_dir(), std::nullopt) << "no such folder yet";
    fs::create_directories(dir / "Downloads");
    EXPECT_EQ(platform::downloads_dir(), dir / "Downloads");
    fixtures::write_bytes(dir / "conf" / "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Загрузки\"\n");
    EXPECT_EQ(platform::downloads_dir(), dir / "Downloads") << "the named folder does not exist";
    fs::create_directories(dir / "Загрузки");
    EXPECT_EQ(platform::downloads_dir(), dir / "Загрузки");
}
