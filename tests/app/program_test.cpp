// The built program end to end: `Mergalo` run from a shipped folder of its own (so it
// is the built executable, not a development run), with its own HOME, LOCALAPPDATA,
// XDG folders and TMPDIR. Runs without a display unless a test says otherwise: the
// merge then runs without its windows, the result goes to standard output and the
// error dialog's texts to standard error.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "platform/platform.hpp"
#include "support/child.hpp"
#include "support/job_fixture.hpp"
#include "support/pdf_fixtures.hpp"
#include "support/temp_dir.hpp"
#include "support/zip_fixtures.hpp"

namespace fs = std::filesystem;
using fixtures::read_bytes;
using fixtures::write_bytes;
using i18n::t;

namespace {

fs::path u8(std::string_view s) { return platform::path_from_utf8(s); }

// The right-click menu's title in a language, as the menu's folders are named too.
std::string menu_title(const char* lang) { return t("menu_root", lang, {{"app", "Tarvo PDF Mergalo"}}); }

// The result's line that names the layout, in Russian.
std::string mode_line(int nup) {
    return t("detail_mode", "ru", {{"mode", t("mode_" + std::to_string(nup) + "up", "ru")}});
}

// A shipped folder: the executable (a hard link to the built one, or a copy) and the
// resource folder mgl/ with the help pages and the icon.
void lay_out(const fs::path& folder, const std::string& exe_name = "Mergalo") {
    fs::create_directories(folder);
    std::error_code ec;
    fs::create_hard_link(MERGALO_EXE, folder / exe_name, ec);
    if (ec) fs::copy_file(MERGALO_EXE, folder / exe_name);
    const fs::path assets = fs::path(MERGALO_SOURCE_DIR) / "assets";
    const fs::path help = fs::path(MERGALO_SOURCE_DIR) / "help";
    fs::create_directories(folder / "mgl" / "help");
    fs::create_directories(folder / "mgl" / "assets");
    for (const char* page : {"Instruction.html", "Instruction_kk.html"})
        fs::copy_file(help / page, folder / "mgl" / "help" / page);
    for (const char* icon : {"mergalo.ico", "mergalo.png"})
        fs::copy_file(assets / icon, folder / "mgl" / "assets" / icon);
    fs::copy_file(help / "Instruction.html", folder / "Instruction.html");
}

// Text with CR LF line breaks (the error log) as LF.
std::string lf(std::string text) {
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    return out;
}

class Program : public ::testing::Test {
protected:
    fixtures::TempDir dir;
    fs::path app = dir / "Shipped Mergalo";
    fs::path local = dir / "localappdata";
    fs::path data_home = dir / "home" / ".local" / "share";
    fs::path config_home = dir / "home" / ".config";
    fs::path archives = dir.path() / u8("Заказы");
    std::vector<std::pair<std::string, std::optional<std::string>>> extra_env;

    void SetUp() override {
        lay_out(app);
        for (const auto& d : {local, data_home, config_home, dir / "tmp", archives}) fs::create_directories(d);
    }

    fixtures::RunResult run(const fs::path& exe, const std::vector<std::string>& args, bool display = false,
                            const fs::path& cwd = {}) {
        std::vector<std::string> argv{exe.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        fixtures::RunOptions o;
        o.cwd = cwd;
        o.env = {{"HOME", (dir / "home").string()},
                 {"LOCALAPPDATA", local.string()},
                 {"XDG_DATA_HOME", data_home.string()},
                 {"XDG_CONFIG_HOME", config_home.string()},
                 {"TMPDIR", (dir / "tmp").string()},
                 {"LANGUAGE", std::nullopt},
                 {"LC_ALL", std::nullopt},
                 {"LC_MESSAGES", std::nullopt},
                 {"LANG", "ru_RU.UTF-8"},
                 // Sanitizer builds only: the leaks of the libraries under Tk are not ours.
                 {"LSAN_OPTIONS", "suppressions=" MERGALO_SOURCE_DIR "/tests/app/lsan_tk.supp"}};
        if (!display) o.env.emplace_back("DISPLAY", std::nullopt);
        // Every file manager the menu knows, unless a test says which are installed.
        o.env.emplace_back("PATH", file_managers_on_path({"dolphin", "nautilus", "caja", "nemo"}));
        o.env.insert(o.env.end(), extra_env.begin(), extra_env.end());
        return fixtures::run(argv, o);
    }
    fixtures::RunResult mergalo(const std::vector<std::string>& args, bool display = false) {
        return run(app / "Mergalo", args, display);
    }

    // An archive of one-page waybills in the archives folder.
    fs::path archive(std::string_view name, int waybills = 3) {
        const fs::path zip = archives / u8(name);
        fixtures::write_zip(zip, fixtures::waybills("WB", waybills));
        return zip;
    }

    std::string log() const {
        std::error_code ec;
        if (!fs::exists(app / "logs" / "error.log", ec)) return {};
        return lf(read_bytes(app / "logs" / "error.log"));
    }
    std::string settings_kk() {
        i18n::write_language(local / "Tarvo PDF Mergalo", "kk");
        return "kk";
    }
    fs::path dolphin_menu() const { return data_home / "kio" / "servicemenus" / "mergalo-zip.desktop"; }

    // A PATH on which exactly these file managers' programs are found (stand-ins).
    std::string file_managers_on_path(const std::vector<std::string>& programs) {
        const fs::path bin = dir / ("bin-" + std::to_string(++bins));
        fs::create_directories(bin);
        for (const auto& p : programs) {
            if (fs::exists("/usr/bin" / fs::path(p))) {  // the system's own, where the test needs it to work
                fs::create_symlink("/usr/bin" / fs::path(p), bin / p);
                continue;
            }
            write_bytes(bin / p, "#!/bin/sh\n");
            fs::permissions(bin / p, fs::perms(0755));
        }
        // Nothing else: whatever file managers this machine has must not count.
        return bin.string();
    }
    int bins = 0;
};

}  // namespace

TEST_F(Program, CommandLineMergeWritesTheOutputsAndPrintsTheResult) {
    const fs::path zip = archive("Накладные 7 мая.zip");
    auto r = mergalo({zip.string(), "4"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const fs::path out = archives / u8("Накладные 7 мая_Tarvo PDF Mergalo_MERGED_4up.pdf");
    EXPECT_TRUE(fs::exists(out));
    EXPECT_NE(r.out.find(mode_line(4)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(platform::utf8(out)), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(app / "waybill_history.csv")) << "the history lives beside the executable";
    EXPECT_EQ(log(), "");
}

TEST_F(Program, ARepairedWaybillIsShownAndLogged) {
    // A waybill cut short: repaired, so merged; the seller is told, and the log keeps its name.
    const fs::path zip = archives / "cut.zip";
    fixtures::write_zip(
        zip, {{"WB1.pdf", fixtures::pdf_bytes({{.label = "WB1"}})}, {"Обрезанная.pdf", fixtures::cut_waybill()}});
    const auto r = mergalo({zip.string(), "1"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(t("result_repaired", "ru", {{"count", 1}, {"names", "«Обрезанная.pdf»"}})), std::string::npos)
        << r.out;
    const std::string entry = log();
    EXPECT_NE(entry.find("Title: Объединение: восстановлены повреждённые накладные\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\n  Обрезанная.pdf\n"), std::string::npos) << entry;
}

TEST_F(Program, LayoutArgument) {
    // Each layout text against the layout the job reports, or, for a job that fails,
    // the value in the error log's NUP line.
    struct Case {
        const char* text;
        int layout;  // the layout of a real merge
        int nup;     // the value reported for a failed one
    };
    const Case cases[] = {
        {" 9 ", 9, 9}, {"+6", 6, 6}, {"4.0", 1, 1}, {"four", 1, 1},        {"5", 1, 5},
        {"-4", 1, -4}, {"", 1, 1},   {"4 4", 1, 1}, {"99999999999", 1, 1}, {"+-4", 1, 1},
    };
    const fs::path zip = archive("orders.zip", 2);
    for (const auto& c : cases) {
        auto r = mergalo({zip.string(), c.text});
        EXPECT_EQ(r.exit_code, 0) << "'" << c.text << "': " << r.err;
        EXPECT_NE(r.out.find(mode_line(c.layout)), std::string::npos) << "'" << c.text << "': " << r.out;

        fs::remove_all(app / "logs");
        r = mergalo({(archives / "missing.zip").string(), c.text});
        EXPECT_EQ(r.exit_code, 1) << "'" << c.text << "'";
        EXPECT_NE(log().find("NUP: " + std::to_string(c.nup) + "\n"), std::string::npos)
            << "'" << c.text << "': " << log();
    }
}

TEST_F(Program, AnUnknownSwitchIsAnArchivePathThatFails) {
    // A switch counts only whole: one with something after it is an archive's name.
    settings_kk();
    for (const std::string arg : {"--foo", "--installx", "--install-menu2", "--uninstall-data-all", "--helpme",
                                  "--selfcheck-", "--uninstallx"}) {
        auto r = mergalo({arg});
        EXPECT_EQ(r.exit_code, 1) << arg;
        const std::string not_found = t("zip_not_found", "kk", {{"path", arg}});
        EXPECT_NE(r.err.find(not_found), std::string::npos) << arg << ": " << r.err;
        EXPECT_NE(log().find("Extra:\nZIP: " + arg + "\nNUP: 1\nException:\n" + not_found + "\n"), std::string::npos)
            << arg << ": " << log();
        fs::remove(app / "logs" / "error.log");
    }
    EXPECT_FALSE(fs::exists(dolphin_menu())) << "no menu was written";
    EXPECT_EQ(i18n::read_language(local / "Tarvo PDF Mergalo"), "kk") << "no data was removed";
}

// A failed merge is still told when the log cannot be written: its own message first,
// then where the log could not go and why (here on standard error, without a display).
TEST_F(Program, AFailureIsToldEvenWhenTheLogCannotBeWritten) {
    settings_kk();
    fs::remove_all(app / "logs");
    write_bytes(app / "logs", "a file where the folder should be");
    auto r = mergalo({"gone.zip", "4"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.rfind(t("error_pdf_failed", "kk") + "\n\n" + t("zip_not_found", "kk", {{"path", "gone.zip"}}) +
                              "\n\n" + t("error_log_not_written", "kk", {{"path", app / "logs" / "error.log"}}) + "\n" +
                              t("fs_not_a_folder", "kk"),
                          0),
              0u)
        << r.err;
}

TEST_F(Program, ASwitchIsOnlyRecognisedInArgumentOne) {
    const fs::path zip = archive("orders.zip", 2);
    auto r = mergalo({zip.string(), "--help"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(mode_line(1)), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(archives / "orders_Tarvo PDF Mergalo_MERGED.pdf"));
}

TEST_F(Program, SwitchesIgnoreCase) {
    // Without a display the self-check reports the window; the report is the same for
    // every spelling of the switch and differs from a merge of a file named like it.
    const auto lower = mergalo({"--selfcheck"});
    EXPECT_EQ(lower.exit_code, 1);
    EXPECT_EQ(lower.out.rfind("Самопроверка нашла беду:\n  — окно не создалось: ", 0), 0u) << lower.out;
    for (const char* spelling : {"--SELFCHECK", "--SelfCheck"}) {
        const auto r = mergalo({spelling});
        EXPECT_EQ(r.exit_code, lower.exit_code) << spelling;
        EXPECT_EQ(r.out, lower.out) << spelling;
    }
    EXPECT_EQ(mergalo({"--UNINSTALL-MENU"}).exit_code, 0);
    EXPECT_EQ(log(), "") << "recognised switches merge nothing";
}

TEST_F(Program, SelfCheckReportsMissingFilesInOrder) {
    {
        auto r = mergalo({"--selfcheck"}, true);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_EQ(r.out, "Самопроверка: всё на месте.\n");
    }
    fs::remove(app / "mgl" / "help" / "Instruction_kk.html");
    fs::remove(app / "mgl" / "assets" / "mergalo.ico");
    {
        auto r = mergalo({"--selfcheck"}, true);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "Самопроверка нашла беду:\n  — не хватает файлов: Instruction_kk.html, mergalo.ico\n");
    }
    fs::remove(app / "mgl" / "help" / "Instruction.html");
    {
        auto r = mergalo({"--selfcheck"});  // and no display
        EXPECT_EQ(r.exit_code, 1);
        const std::string head = "Самопроверка нашла беду:\n  — окно не создалось: ";
        const std::string tail = "\n  — не хватает файлов: Instruction.html, Instruction_kk.html, mergalo.ico\n";
        EXPECT_EQ(r.out.rfind(head, 0), 0u) << r.out;
        ASSERT_GE(r.out.size(), tail.size());
        EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
    }
    EXPECT_FALSE(fs::exists(app / "logs")) << "the self-check writes nothing";
}

TEST_F(Program, ThePdfLibraryNotStartingEndsEveryRunWithTen) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"--selfcheck"}, {"--install-menu"}, {}}) {
        auto r = run(MERGALO_WITHOUT_PDF_EXE, args, true);
        EXPECT_EQ(r.exit_code, 10);
        EXPECT_EQ(r.out, "ERROR: MuPDF is not available: cannot create the MuPDF context\n");
    }
    EXPECT_FALSE(fs::exists(dolphin_menu())) << "no switch may run";
}

TEST_F(Program, HelpOpensThePageOfTheLanguageElseTheSupportChat) {
    // An xdg-open first on PATH that records what it was asked to open; the record
    // appears whole (renamed into place), so the test never reads it half written.
    const fs::path opened = dir / "opened.txt";
    write_bytes(dir / "bin" / "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" > '" + opened.string() + ".part' && mv '" +
                                              opened.string() + ".part' '" + opened.string() + "'\n");
    fs::permissions(dir / "bin" / "xdg-open", fs::perms(0755));
    extra_env = {{"PATH", (dir / "bin").string() + ":/usr/bin:/bin"}};
    auto next_opened = [&] {
        // The opener is started, not waited for.
        for (int i = 0; i < 1000 && !fs::exists(opened); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::string line = fs::exists(opened) ? read_bytes(opened) : "(nothing opened)";
        fs::remove(opened);
        return line;
    };

    EXPECT_EQ(mergalo({"--help"}).exit_code, 0);
    EXPECT_EQ(next_opened(), platform::utf8(app / "mgl" / "help" / "Instruction.html") + "\n");
    settings_kk();
    EXPECT_EQ(mergalo({"--HELP"}).exit_code, 0);
    EXPECT_EQ(next_opened(), platform::utf8(app / "mgl" / "help" / "Instruction_kk.html") + "\n");
    fs::remove_all(app / "mgl" / "help");
    EXPECT_EQ(mergalo({"--help"}).exit_code, 0);
    EXPECT_EQ(next_opened(), "https://t.me/tarvo_support\n");
}

TEST_F(Program, MenuInstallUninstallAndLanguageChange) {
    ASSERT_EQ(mergalo({"--install-menu"}).exit_code, 0);
    const std::string ru = read_bytes(dolphin_menu());
    EXPECT_NE(ru.find("Exec=\"" + platform::utf8(app / "Mergalo") + "\" %f 4\n"), std::string::npos) << ru;
    EXPECT_NE(ru.find("Exec=xdg-open \"" + platform::utf8(app / "mgl" / "help" / "Instruction.html") + "\"\n"),
              std::string::npos)
        << ru;
    EXPECT_TRUE(fs::exists(data_home / "nautilus/scripts" / u8(menu_title("ru"))));

    settings_kk();
    ASSERT_EQ(mergalo({"--install-menu"}).exit_code, 0);
    const std::string kk = read_bytes(dolphin_menu());
    EXPECT_NE(kk.find("X-KDE-Submenu=" + menu_title("kk") + "\n"), std::string::npos) << kk;
    EXPECT_NE(kk.find("Instruction_kk.html"), std::string::npos) << "the help entry opens the Kazakh page";
    EXPECT_FALSE(fs::exists(data_home / "nautilus/scripts" / u8(menu_title("ru"))));
    // Numbered, since the Kazakh labels would not sort in the menu's order.
    EXPECT_TRUE(fs::exists(config_home / "caja/scripts" / u8(menu_title("kk")) / u8("4. " + t("mode_9up", "kk"))));

    ASSERT_EQ(mergalo({"--uninstall-menu"}).exit_code, 0);
    for (const auto& base : {data_home, config_home})
        for (const auto& e : fs::recursive_directory_iterator(base))
            EXPECT_FALSE(e.is_regular_file()) << e.path() << " left behind";
    EXPECT_EQ(mergalo({"--uninstall-menu"}).exit_code, 0) << "nothing installed";
    auto r = mergalo({"--uninstall"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find(t("menu_removed_no_file_manager", "kk", {{"item", menu_title("kk")}})), std::string::npos)
        << r.out;
    EXPECT_EQ(log(), "");
}

TEST_F(Program, InstallWithTheExecutableMissingChangesNothing) {
    ASSERT_EQ(mergalo({"--install-menu"}).exit_code, 0);
    const std::string before = read_bytes(dolphin_menu());

    // A copy of the program under another name, in a folder without "Mergalo".
    const fs::path other = dir / "Other";
    lay_out(other, "Mergalo-old");
    auto r = run(other / "Mergalo-old", {"--install-menu"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(read_bytes(dolphin_menu()), before);
    const std::string entry = lf(read_bytes(other / "logs" / "error.log"));
    const std::string not_found = t("exe_not_found", "ru", {{"name", "Mergalo"}, {"folder", other}});
    EXPECT_NE(
        entry.find("Title: Не удалось поставить пункт меню правой кнопки\nException:\n" + not_found + "\nTraceback:\n"),
        std::string::npos)
        << entry;

    r = run(other / "Mergalo-old", {"--install"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(t("menu_install_failed", "ru", {{"error", not_found}})), std::string::npos) << r.err;
    EXPECT_EQ(read_bytes(dolphin_menu()), before);
}

TEST_F(Program, MenuScriptMergesAnArchiveWithAnAwkwardName) {
    ASSERT_EQ(mergalo({"--install-menu"}).exit_code, 0);
    const std::string name = "Накладные \"ИП Ким\" 'утро' $(date) 2.zip";
    archive(name, 2);
    const fs::path script = data_home / "nautilus/scripts" / u8(menu_title("ru")) / u8(t("mode_4up", "ru"));
    // The file manager runs the script in the archive's folder with the name as it is.
    auto r = run(script, {name}, false, archives);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(fs::exists(archives / u8("Накладные \"ИП Ким\" 'утро' $(date) 2_Tarvo PDF Mergalo_MERGED_4up.pdf")))
        << r.out << r.err;
    EXPECT_NE(r.out.find(mode_line(4)), std::string::npos) << r.out;
}

TEST_F(Program, DataRemoval) {
    // With everything in place: the settings, a log, the history, and an entry that
    // cannot be deleted, which stays while the rest goes. (Root deletes anything, so
    // there the locked entry goes too.)
    const bool root = ::geteuid() == 0;
    settings_kk();
    write_bytes(app / "logs" / "error.log", "old entries");
    write_bytes(app / "waybill_history.csv", "history");
    const fs::path data = local / "Tarvo PDF Mergalo";
    const fs::path locked = data / "locked";
    write_bytes(locked / "kept.txt", "x");
    write_bytes(data / "cache" / "a.txt", "x");
    // Links inside the two folders, and a logs folder that is itself a link: each goes,
    // what it points to stays.
    const fs::path outside = dir / "outside";
    write_bytes(outside / "keep" / "precious.txt", "x");
    write_bytes(outside / "logs" / "other.log", "x");
    fs::create_directory_symlink(outside / "keep", data / "link");
    fs::create_symlink(outside / "keep" / "precious.txt", data / "cache" / "file-link");
    const fs::path other_app = dir / "Other Mergalo";
    lay_out(other_app);
    fs::create_directory_symlink(outside / "logs", other_app / "logs");
    ::chmod(locked.c_str(), 0500);
    auto r = mergalo({"--uninstall-data"});
    ::chmod(locked.c_str(), 0700);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(fs::exists(app / "logs"));
    EXPECT_FALSE(fs::exists(data / "data" / "settings.json"));
    EXPECT_FALSE(fs::exists(data / "cache"));
    EXPECT_EQ(fs::exists(locked / "kept.txt"), !root);
    EXPECT_TRUE(fs::exists(app / "waybill_history.csv")) << "the history is not personal data";
    EXPECT_FALSE(fs::exists(fs::symlink_status(data / "link")));
    r = run(other_app / "Mergalo", {"--uninstall-data"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(other_app / "logs")));
    EXPECT_TRUE(fs::exists(outside / "keep" / "precious.txt")) << "a link was followed out of the data folder";
    EXPECT_TRUE(fs::exists(outside / "logs" / "other.log")) << "a link was followed out of the program folder";

    // A file of the user's in the logs folder stays, and so does the folder; the log and
    // the temporary file of its rewrite go.
    write_bytes(app / "logs" / "error.log", "entries");
    write_bytes(app / "logs" / ".error.log.Ab12Cd.tmp", "half");
    write_bytes(app / "logs" / "мои заметки.txt", "x");
    r = mergalo({"--uninstall-data"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(fixtures::names_in(app / "logs"), std::set<std::string>{"мои заметки.txt"});
    EXPECT_EQ(log(), "") << "the user's file is no failure";
    fs::remove_all(app / "logs");

    // Nothing there at all.
    fs::remove_all(data);
    r = mergalo({"--uninstall-data"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(fs::exists(app / "logs"));
}

TEST_F(Program, TheInstalledFolderPassesItsSelfCheck) {
    const fs::path prefix = dir / "installed";
    auto install = fixtures::run({CMAKE_COMMAND, "--install", MERGALO_BUILD_DIR, "--prefix", prefix.string()});
    ASSERT_EQ(install.exit_code, 0) << install.out << install.err;
    for (const char* part : {"Mergalo", "Instruction.html", "mgl/tcl/init.tcl", "mgl/tk/tk.tcl", "mgl/tk/ttk/ttk.tcl",
                             "mgl/help/Instruction.html", "mgl/help/Instruction_kk.html", "mgl/assets/mergalo.ico",
                             "mgl/assets/mergalo.png"})
        EXPECT_TRUE(fs::exists(prefix / part)) << part;
    for (const auto& entry : fs::recursive_directory_iterator(prefix / "mgl")) {
        const fs::path& p = entry.path();
        EXPECT_FALSE(p.extension() == ".c" || p.filename() == "tzdata" || p.filename() == "demos")
            << "never loaded by the program: " << p;
    }
    auto r = run(prefix / "Mergalo", {"--selfcheck"}, true);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "Самопроверка: всё на месте.\n");
}

TEST_F(Program, InstallAndUninstallSayWhichFileManagersGotTheMenu) {
    const struct {
        std::vector<std::string> programs;  // on PATH; "update-desktop-database" is the system's own
        const char* lang;
        std::string managers;  // as the install box names them; none: no file manager
        std::string removed;   // as the uninstall box names them
    } cases[] = {
        {{"update-desktop-database"}, "ru", "", ""},
        {{"nemo", "caja", "update-desktop-database"}, "ru", "Caja (подменю «Сценарии»), Nemo", "Caja, Nemo"},
        {{"dolphin", "nautilus"}, "kk", "Dolphin, Nautilus («Scripts» ішкі мәзірі)", "Dolphin, Nautilus"},
        {{}, "kk", "", ""},
    };
    for (const auto& c : cases) {
        if (c.lang == std::string("kk")) settings_kk();
        const std::string item = menu_title(c.lang);
        const bool none = c.managers.empty();
        auto has = [&](const char* program) {
            return std::find(c.programs.begin(), c.programs.end(), program) != c.programs.end();
        };
        // Without the program that lists the programs by file type the box does not promise "Open with".
        const std::string listed = has("update-desktop-database") ? "" : "_unlisted";
        const std::string installed =
            t((none ? "menu_installed_no_file_manager" : "menu_installed_file_managers") + listed, c.lang,
              {{"item", item}, {"managers", c.managers}, {"app", "Tarvo PDF Mergalo"}});
        const std::string removed = t(none ? "menu_removed_no_file_manager" : "menu_removed_file_managers", c.lang,
                                      {{"item", item}, {"managers", c.removed}});
        extra_env = {{"PATH", file_managers_on_path(c.programs)}};
        auto r = mergalo({"--install"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.out.find(installed), std::string::npos) << r.out;
        EXPECT_TRUE(fs::exists(data_home / "applications" / "mergalo.desktop")) << "Open with, for every file manager";
        auto any_file = [](const fs::path& base) {
            std::error_code ec;
            for (fs::recursive_directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec))
                if (it->is_regular_file()) return true;
            return false;
        };
        EXPECT_EQ(fs::exists(dolphin_menu()), has("dolphin"));
        EXPECT_EQ(any_file(config_home / "caja"), has("caja"));
        EXPECT_EQ(any_file(data_home / "nautilus"), has("nautilus"));
        EXPECT_EQ(any_file(data_home / "nemo"), has("nemo"));

        EXPECT_EQ(fs::exists(data_home / "applications" / "mimeinfo.cache"), has("update-desktop-database"));

        r = mergalo({"--uninstall"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.out.find(removed), std::string::npos) << r.out;
        EXPECT_FALSE(fs::exists(data_home / "applications")) << "a folder the install made";
    }
    EXPECT_EQ(log(), "");
}

// A file manager's folder that cannot be made: the message is the catalogue's in the
// user's language, the library's words only as the detail, and no file manager got
// entries.
TEST_F(Program, AFailedMenuInstallSaysWhatFailedInTheUsersWordsAndWritesNothing) {
    write_bytes(config_home / "caja", "a file where Caja's folder belongs");
    for (const char* lang : {"ru", "kk"}) {
        if (lang == std::string("kk")) settings_kk();
        auto r = mergalo({"--install"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(
            r.err.rfind(t("menu_install_failed", lang, {{"error", t("file_write_failed", lang, {{"path", ""}})}}), 0),
            0u)
            << r.err;
        const auto detail = r.err.find("\n\n" + t("error_detail", lang, {{"detail", ""}}));
        EXPECT_NE(detail, std::string::npos) << r.err;
        EXPECT_GT(r.err.find("filesystem error"), detail) << "the library's words only as the detail:\n" << r.err;
        for (const auto& base : {data_home, config_home})
            for (const auto& e : fs::recursive_directory_iterator(base))
                EXPECT_TRUE(!e.is_regular_file() || e.path() == config_home / "caja")
                    << e.path() << " written by a failed install";
    }
}

TEST_F(Program, InstalledSystemWideTheHistoryAndLogsGoToTheUsersDataFolder) {
    write_bytes(app / "mgl" / "system-install", "");
    const fs::path user = local / "mergalo";
    const fs::path zip = archive("day.zip");
    auto r = mergalo({zip.string(), "4"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(fs::exists(user / "waybill_history.csv"));
    EXPECT_FALSE(fs::exists(app / "waybill_history.csv")) << "the program folder is the system's";

    EXPECT_EQ(mergalo({(archives / "gone.zip").string(), "4"}).exit_code, 1);
    EXPECT_TRUE(fs::exists(user / "logs" / "error.log"));
    EXPECT_FALSE(fs::exists(app / "logs"));

    // The package brings the application entry; the menu starts the installed program.
    ASSERT_EQ(mergalo({"--install-menu"}).exit_code, 0);
    EXPECT_FALSE(fs::exists(data_home / "applications" / "mergalo.desktop"));
    EXPECT_NE(read_bytes(dolphin_menu()).find("Exec=\"" + platform::utf8(app / "Mergalo") + "\" %f 4\n"),
              std::string::npos);
}

TEST_F(Program, ChooseLayoutWithoutADisplayMergesNothing) {
    const fs::path zip = archive("day.zip");
    auto r = mergalo({"--choose-layout", zip.string()});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(t("no_window", "ru")), std::string::npos) << r.err;
    EXPECT_EQ(fixtures::names_in(archives), std::set<std::string>{"day.zip"});
}
