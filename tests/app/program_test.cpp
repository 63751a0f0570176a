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

#include "i18n/settings.hpp"
#include "platform/platform.hpp"
#include "support/pdf_fixtures.hpp"
#include "support/child.hpp"
#include "support/raw_pdf.hpp"
#include "support/temp_dir.hpp"
#include "support/zip_fixtures.hpp"

namespace fs = std::filesystem;
using fixtures::read_bytes;
using fixtures::write_bytes;

namespace {

fs::path u8(std::string_view s) { return platform::path_from_utf8(s); }

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
    for (const char* icon : {"mergalo.ico", "mergalo.png"}) fs::copy_file(assets / icon, folder / "mgl" / "assets" / icon);
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
        std::vector<fixtures::ZipMember> members;
        for (int i = 1; i <= waybills; ++i) {
            const std::string label = "WB" + std::to_string(i);
            members.push_back({label + ".pdf", fixtures::pdf_bytes({{.label = label}})});
        }
        const fs::path zip = archives / u8(name);
        fixtures::write_zip(zip, members);
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
    EXPECT_NE(r.out.find("Режим: 4 на лист (2x2)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(platform::utf8(out)), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(app / "waybill_history.csv")) << "the history lives beside the executable";
    EXPECT_EQ(log(), "");
}

TEST_F(Program, ARepairedWaybillIsShownAndLogged) {
    // A waybill cut short after its content, its cross-reference table lost: MuPDF
    // repairs it and its page reads in full, so it is merged; the seller is told, and
    // the log keeps its name.
    const std::string whole = fixtures::raw_pdf(
        {{" /Type /Catalog /Pages 2 0 R"},
         {" /Type /Pages /Kids [3 0 R] /Count 1"},
         {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R"},
         {"", "0 g 50 50 495 742 re f\n0 g 50 50 495 742 re f\n0 g 50 50 495 742 re f\n"}});
    const fs::path zip = archives / "cut.zip";
    fixtures::write_zip(zip, {{"WB1.pdf", fixtures::pdf_bytes({{.label = "WB1"}})},
                              {"Обрезанная.pdf", whole.substr(0, whole.find("xref"))}});
    const auto r = mergalo({zip.string(), "1"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("восстановленные программой (1): «Обрезанная.pdf»"), std::string::npos) << r.out;
    const std::string entry = log();
    EXPECT_NE(entry.find("Title: Объединение: восстановлены повреждённые накладные\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\n  Обрезанная.pdf\n"), std::string::npos) << entry;
}

TEST_F(Program, LayoutArgument) {
    // Each layout text against the layout the job reports, or, for a job that fails,
    // the value in the error log's NUP line.
    struct Case {
        const char* text;
        const char* mode;  // the details' mode line, for a real merge
        int nup;           // the value reported for a failed one
    };
    const Case cases[] = {
        {" 9 ", "Режим: 9 на лист (3x3)", 9}, {"+6", "Режим: 6 на лист (2x3)", 6},
        {"4.0", "Режим: 1 на лист (обычно)", 1}, {"four", "Режим: 1 на лист (обычно)", 1},
        {"5", "Режим: 1 на лист (обычно)", 5}, {"-4", "Режим: 1 на лист (обычно)", -4},
        {"", "Режим: 1 на лист (обычно)", 1}, {"4 4", "Режим: 1 на лист (обычно)", 1},
        {"99999999999", "Режим: 1 на лист (обычно)", 1}, {"+-4", "Режим: 1 на лист (обычно)", 1},
    };
    const fs::path zip = archive("orders.zip", 2);
    for (const auto& c : cases) {
        auto r = mergalo({zip.string(), c.text});
        EXPECT_EQ(r.exit_code, 0) << "'" << c.text << "': " << r.err;
        EXPECT_NE(r.out.find(c.mode), std::string::npos) << "'" << c.text << "': " << r.out;

        fs::remove_all(app / "logs");
        r = mergalo({(archives / "missing.zip").string(), c.text});
        EXPECT_EQ(r.exit_code, 1) << "'" << c.text << "'";
        EXPECT_NE(log().find("NUP: " + std::to_string(c.nup) + "\n"), std::string::npos) << "'" << c.text << "': " << log();
    }
}

TEST_F(Program, AnUnknownSwitchIsAnArchivePathThatFails) {
    // A switch counts only whole: one with something after it is an archive's name.
    settings_kk();
    for (const std::string arg : {"--foo", "--installx", "--install-menu2", "--uninstall-data-all", "--helpme",
                                  "--selfcheck-", "--uninstallx"}) {
        auto r = mergalo({arg});
        EXPECT_EQ(r.exit_code, 1) << arg;
        EXPECT_NE(r.err.find("ZIP файлы табылмады:\n" + arg), std::string::npos) << arg << ": " << r.err;
        EXPECT_NE(log().find("Extra:\nZIP: " + arg + "\nNUP: 1\nException:\nZIP файлы табылмады:\n" + arg + "\n"),
                  std::string::npos) << arg << ": " << log();
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
    EXPECT_EQ(r.err.rfind("PDF жасау кезінде қате шықты.\n\nZIP файлы табылмады:\ngone.zip\n\n"
                          "Қателер журналын жазу мүмкін болмады:\n" + platform::utf8(app / "logs" / "error.log") +
                          "\nҚалтаның орнында дәл сондай атаулы файл тұр.", 0), 0u) << r.err;
}

TEST_F(Program, ASwitchIsOnlyRecognisedInArgumentOne) {
    const fs::path zip = archive("orders.zip", 2);
    auto r = mergalo({zip.string(), "--help"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Режим: 1 на лист (обычно)"), std::string::npos) << r.out;
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
        for (int i = 0; i < 1000 && !fs::exists(opened); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
              std::string::npos) << ru;
    EXPECT_TRUE(fs::exists(data_home / "nautilus/scripts" / u8("Tarvo PDF Mergalo — объединить накладные")));

    settings_kk();
    ASSERT_EQ(mergalo({"--install-menu"}).exit_code, 0);
    const std::string kk = read_bytes(dolphin_menu());
    EXPECT_NE(kk.find("X-KDE-Submenu=Tarvo PDF Mergalo — жүкқұжаттарды біріктіру\n"), std::string::npos) << kk;
    EXPECT_NE(kk.find("Instruction_kk.html"), std::string::npos) << "the help entry opens the Kazakh page";
    EXPECT_FALSE(fs::exists(data_home / "nautilus/scripts" / u8("Tarvo PDF Mergalo — объединить накладные")));
    EXPECT_TRUE(fs::exists(config_home / "caja/scripts" / u8("Tarvo PDF Mergalo — жүкқұжаттарды біріктіру") /
                           u8("4. Параққа 9 (3x3)")));

    ASSERT_EQ(mergalo({"--uninstall-menu"}).exit_code, 0);
    for (const auto& base : {data_home, config_home})
        for (const auto& e : fs::recursive_directory_iterator(base))
            EXPECT_FALSE(e.is_regular_file()) << e.path() << " left behind";
    EXPECT_EQ(mergalo({"--uninstall-menu"}).exit_code, 0) << "nothing installed";
    auto r = mergalo({"--uninstall"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Мәзір жойылды."), std::string::npos) << r.out;
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
    EXPECT_NE(entry.find("Title: Не удалось поставить пункт меню правой кнопки\nException:\nФайл Mergalo не найден.\n\n"
                         "Папка:\n" + platform::utf8(other) + "\nTraceback:\n"),
              std::string::npos) << entry;

    r = run(other / "Mergalo-old", {"--install"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Не удалось добавить пункт в меню правой кнопки:\n\nФайл Mergalo не найден."),
              std::string::npos) << r.err;
    EXPECT_EQ(read_bytes(dolphin_menu()), before);
}

TEST_F(Program, MenuScriptMergesAnArchiveWithAnAwkwardName) {
    ASSERT_EQ(mergalo({"--install-menu"}).exit_code, 0);
    const std::string name = "Накладные \"ИП Ким\" 'утро' $(date) 2.zip";
    archive(name, 2);
    const fs::path script = data_home / "nautilus/scripts" / u8("Tarvo PDF Mergalo — объединить накладные") /
                            u8("4 на лист (2x2)");
    // The file manager runs the script in the archive's folder with the name as it is.
    auto r = run(script, {name}, false, archives);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(fs::exists(archives / u8("Накладные \"ИП Ким\" 'утро' $(date) 2_Tarvo PDF Mergalo_MERGED_4up.pdf")))
        << r.out << r.err;
    EXPECT_NE(r.out.find("Режим: 4 на лист (2x2)"), std::string::npos) << r.out;
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
        std::vector<std::string> programs;
        bool kazakh;
        std::string installed;  // a line of the install message
        std::string removed;    // a line of the uninstall message
    } cases[] = {
        {{}, false,
         "Ни один из файловых менеджеров Dolphin, Nautilus, Caja, Nemo не найден, поэтому пункта "
         "«Tarvo PDF Mergalo — объединить накладные» в меню правой кнопки нет.",
         "Пункта «Tarvo PDF Mergalo — объединить накладные» не было в меню правой кнопки ни одного из файловых "
         "менеджеров Dolphin, Nautilus, Caja, Nemo."},
        {{"nemo", "caja"}, false,
         "в файловых менеджерах: Caja, Nemo.\nКроме того, в любом файловом менеджере архив можно открыть через "
         "«Открыть с помощью» → Tarvo PDF Mergalo.",
         "убран из меню правой кнопки в файловых менеджерах: Caja, Nemo."},
        {{"dolphin"}, true, "мына файл менеджерлерінде ZIP-мұрағаттар үшін тінтуірдің оң жақ түймесі мәзіріне қосылды: Dolphin.",
         "мына файл менеджерлеріндегі тінтуір мәзірінен алынды: Dolphin."},
    };
    for (const auto& c : cases) {
        if (c.kazakh) settings_kk();
        extra_env = {{"PATH", file_managers_on_path(c.programs)}};
        auto has = [&](const char* program) {
            return std::find(c.programs.begin(), c.programs.end(), program) != c.programs.end();
        };
        auto r = mergalo({"--install"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.out.find(c.installed), std::string::npos) << r.out;
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

        r = mergalo({"--uninstall"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.out.find(c.removed), std::string::npos) << r.out;
        EXPECT_FALSE(fs::exists(data_home / "applications" / "mergalo.desktop"));
    }
    EXPECT_EQ(log(), "");
}

// A file manager's folder that cannot be made: the message is the catalogue's in the
// user's language, the library's words only after "Подробности:", and no file manager
// got entries.
TEST_F(Program, AFailedMenuInstallSaysWhatFailedInTheUsersWordsAndWritesNothing) {
    write_bytes(config_home / "caja", "a file where Caja's folder belongs");
    const struct {
        bool kazakh;
        std::string message;
        std::string detail;
    } cases[] = {
        {false, "Не удалось добавить пункт в меню правой кнопки:\n\nНе удалось записать файл:\n", "\n\nПодробности: "},
        {true, "Тінтуір мәзіріне қосу мүмкін болмады:\n\nФайлды жазу мүмкін болмады:\n", "\n\nТолығырақ: "},
    };
    for (const auto& c : cases) {
        if (c.kazakh) settings_kk();
        auto r = mergalo({"--install"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
        const auto detail = r.err.find(c.detail);
        EXPECT_NE(detail, std::string::npos) << r.err;
        EXPECT_GT(r.err.find("filesystem error"), detail) << "the library's words only as the detail:\n" << r.err;
        for (const auto& base : {data_home, config_home})
            for (const auto& e : fs::recursive_directory_iterator(base))
                EXPECT_TRUE(!e.is_regular_file() || e.path() == config_home / "caja") << e.path()
                    << " written by a failed install";
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
    EXPECT_NE(r.err.find("Не удаётся открыть окно"), std::string::npos) << r.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(archives), fs::directory_iterator()), 1) << "only the archive";
}
