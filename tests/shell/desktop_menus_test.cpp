// The right-click menu as Linux file-manager extensions: the files written, what their
// commands do with awkward archive names, removal and relabelling.
#include "shell/desktop_menus.hpp"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <optional>
#include <set>
#include <thread>

#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "platform/platform.hpp"
#include "shell/menu_place.hpp"
#include "support/child.hpp"
#include "support/env.hpp"
#include "support/temp_dir.hpp"

namespace fs = std::filesystem;
using fixtures::read_bytes;
using fixtures::write_bytes;

namespace {

// The menu alone (no "Open with") for every file manager, as an install writes it.
void write_menus(const shell::Menu& menu, const shell::DesktopFolders& folders) {
    shell::replace_desktop_files(shell::desktop_menu_files(menu, folders), {});
}

// The menu in each language removed, as an uninstall removes it.
void remove_menus(const std::vector<shell::Menu>& menus, const shell::DesktopFolders& folders) {
    shell::remove_desktop_files(shell::every_desktop_file(menus, folders));
}

const std::string RU_TITLE = "Tarvo PDF Mergalo — объединить накладные";
const std::string KK_TITLE = "Tarvo PDF Mergalo — жүкқұжаттарды біріктіру";

fs::path u8(std::string_view s) { return platform::path_from_utf8(s); }

struct Home {
    fixtures::TempDir dir;
    shell::DesktopFolders folders{dir / "data", dir / "config"};
    fs::path program = dir / "My Apps" / "Mergalo";
    fs::path help = dir / "My Apps" / "mgl" / "help" / "Instruction.html";

    shell::Menu menu(std::string_view lang) const {
        return shell::make_menu(lang, "mergalo", "Tarvo PDF Mergalo", program, help,
                                dir / "My Apps" / "mgl" / "assets" / "mergalo.png");
    }
    std::vector<shell::Menu> every_language() const { return {menu("ru"), menu("kk")}; }

    // Every file below the two XDG folders, as paths relative to the test folder.
    std::set<std::string> files() const {
        std::set<std::string> found;
        for (const auto& base : {folders.data_home, folders.config_home}) {
            std::error_code ec;
            if (!fs::exists(base)) continue;
            for (const auto& e : fs::recursive_directory_iterator(base, ec))
                if (e.is_regular_file()) found.insert(platform::utf8(e.path().lexically_relative(dir.path())));
        }
        return found;
    }
};

std::set<std::string> ru_files() {
    const std::vector<std::string> labels = {"1 на лист (обычно)", "4 на лист (2x2)", "6 на лист (2x3)",
                                             "9 на лист (3x3)", "Инструкция Tarvo PDF Mergalo"};
    std::set<std::string> want = {"data/kio/servicemenus/mergalo-zip.desktop"};
    for (const auto& l : labels) {
        want.insert("data/nautilus/scripts/" + RU_TITLE + "/" + l);
        want.insert("config/caja/scripts/" + RU_TITLE + "/" + l);
    }
    for (const char* key : {"01_1up", "02_4up", "03_6up", "04_9up", "05_help"}) {
        want.insert(std::string("data/nemo/actions/mergalo-") + key + ".sh");
        want.insert(std::string("data/nemo/actions/mergalo-") + key + ".nemo_action");
    }
    return want;
}

bool executable(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && (st.st_mode & 0777) == 0755;
}

// Percent-encodes every byte but the unreserved ones and "/", as file managers write URIs.
std::string file_uri(const fs::path& p) {
    std::string out = "file://";
    for (unsigned char c : platform::utf8(p)) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            static const char hex[] = "0123456789ABCDEF";
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace

TEST(DesktopMenus, InstallWritesEveryFileManagersFiles) {
    Home s;
    write_menus(s.menu("ru"), s.folders);
    EXPECT_EQ(s.files(), ru_files());

    const fs::path dolphin = s.folders.data_home / "kio/servicemenus/mergalo-zip.desktop";
    EXPECT_TRUE(executable(dolphin)) << "Dolphin ignores a user's service menu without the execute bit";
    EXPECT_TRUE(executable(s.folders.config_home / "caja/scripts" / u8(RU_TITLE) / u8("4 на лист (2x2)")));
    EXPECT_TRUE(executable(s.folders.data_home / "nemo/actions/mergalo-02_4up.sh"));

    const std::string text = read_bytes(dolphin);
    const std::string exe = platform::utf8(s.program);
    EXPECT_NE(text.find("X-KDE-Submenu=" + RU_TITLE + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Actions=mergalo-01-1up;mergalo-02-4up;mergalo-03-6up;mergalo-04-9up;mergalo-05-help;\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[Desktop Action mergalo-03-6up]\nName=6 на лист (2x3)\nExec=\"" + exe + "\" %f 6\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Exec=xdg-open \"" + platform::utf8(s.help) + "\"\n"), std::string::npos) << text;

    const std::string action = read_bytes(s.folders.data_home / "nemo/actions/mergalo-04_9up.nemo_action");
    EXPECT_NE(action.find("Name=Tarvo PDF Mergalo: 9 на лист (3x3)\n"), std::string::npos) << action;
    EXPECT_NE(action.find("Exec=" + platform::utf8(s.folders.data_home) + "/nemo/actions/mergalo-04_9up.sh %U\n"),
              std::string::npos)
        << action;
    // Hidden once the program (the help page, for the help entry) is gone.
    EXPECT_NE(action.find("Dependencies=" + exe + ";\n"), std::string::npos) << action;
    EXPECT_NE(read_bytes(s.folders.data_home / "nemo/actions/mergalo-05_help.nemo_action")
                  .find("Dependencies=" + platform::utf8(s.help) + ";\n"),
              std::string::npos);
    EXPECT_NE(text.find("TryExec=" + exe + "\n"), std::string::npos) << text;
}

TEST(DesktopMenus, DolphinServiceMenuPassesDesktopFileValidate) {
    Home s;
    // A program folder whose name needs every kind of quoting an Exec line has.
    s.program = s.dir.path() / u8("Tom's \"best\" $HOME `x` 100% \\ Мерж") / "Mergalo";
    write_menus(s.menu("kk"), s.folders);
    const fs::path dolphin = s.folders.data_home / "kio/servicemenus/mergalo-zip.desktop";
    auto r = fixtures::run({"/usr/bin/desktop-file-validate", dolphin.string()});
    ASSERT_TRUE(r.exit_code == 0 || r.exit_code == 1) << "desktop-file-validate did not run: " << r.err;
    // The validator knows only the freedesktop types; Dolphin's own service type carries
    // MimeType and Actions, which it reports for any type but Application. Every other
    // complaint is ours.
    std::string other;
    std::size_t start = 0;
    while (start < r.out.size()) {
        std::size_t end = r.out.find('\n', start);
        if (end == std::string::npos) end = r.out.size();
        const std::string line = r.out.substr(start, end - start);
        start = end + 1;
        if (line.find("but the type is \"Service\" while this key is only valid for type \"Application\"") ==
            std::string::npos)
            other += line + "\n";
    }
    EXPECT_EQ(other, "") << read_bytes(dolphin);
}

TEST(DesktopMenus, EveryScriptIsValidShellWhateverTheProgramsFolder) {
    for (const char* folder :
         {"Tom's Apps", "it''s", "'", "a\"b", "$HOME $(id)", "`id`", "back\\slash", "Бағдарлама 100% ; & |"}) {
        Home s;
        s.program = s.dir.path() / u8(folder) / "Mergalo";
        s.help = s.dir.path() / u8(folder) / "mgl" / "help" / "Instruction.html";
        write_menus(s.menu("ru"), s.folders);
        int scripts = 0;
        for (const std::string& file : s.files()) {
            if (file.find("/nautilus/") == std::string::npos && file.find("/caja/") == std::string::npos &&
                !file.ends_with(".sh"))
                continue;
            ++scripts;
            const auto r = fixtures::run({"/bin/sh", "-n", (s.dir.path() / u8(file)).string()});
            EXPECT_EQ(r.exit_code, 0) << folder << ": " << file << "\n" << r.err;
        }
        EXPECT_EQ(scripts, 15) << folder;
    }
}

TEST(DesktopMenus, ScriptsStartOneMergePerArchiveWithTheNameAsItIs) {
    Home s;
    s.program = s.dir.path() / u8("Tom's Apps") / "Mergalo";  // the program's own path needs quoting too
    // The program the menu starts records its arguments, one file per run.
    const fs::path runs = s.dir / "runs";
    fs::create_directories(runs);
    write_bytes(s.program, "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > \"" + runs.string() + "/$$\"\n");
    fs::permissions(s.program, fs::perms(0755));
    write_menus(s.menu("ru"), s.folders);

    const fs::path folder = s.dir.path() / u8("Заказы 'май'");
    const std::string awkward = "Накладные \"пн\" 'утро' $(touch x) `id` *.zip";
    const std::string plain = "second.zip";
    write_bytes(folder / u8(awkward), "");
    write_bytes(folder / plain, "");
    auto recorded = [&] {
        std::multiset<std::string> all;
        for (const auto& e : fs::directory_iterator(runs)) {
            all.insert(read_bytes(e.path()));
            fs::remove(e.path());
        }
        return all;
    };
    const std::string first = "2\n" + platform::utf8(folder / u8(awkward)) + "\n4\n";
    const std::string second = "2\n" + platform::utf8(folder / plain) + "\n4\n";

    // Nautilus and Caja: names relative to the folder shown, run in that folder.
    const fs::path nautilus = s.folders.data_home / "nautilus/scripts" / u8(RU_TITLE) / u8("4 на лист (2x2)");
    fixtures::RunOptions in_folder;
    in_folder.cwd = folder;
    auto r = fixtures::run({nautilus.string(), awkward, plain}, in_folder);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(recorded(), (std::multiset<std::string>{first, second}));

    // Nemo: file:// URIs.
    const fs::path nemo = s.folders.data_home / "nemo/actions/mergalo-02_4up.sh";
    r = fixtures::run({nemo.string(), file_uri(folder / u8(awkward)), file_uri(folder / plain)});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(recorded(), (std::multiset<std::string>{first, second}));

    // No arguments: the file manager's newline-separated list of paths.
    const fs::path caja = s.folders.config_home / "caja/scripts" / u8(RU_TITLE) / u8("4 на лист (2x2)");
    fixtures::RunOptions with_list;
    with_list.env = {{"CAJA_SCRIPT_SELECTED_FILE_PATHS",
                      platform::utf8(folder / u8(awkward)) + "\n" + platform::utf8(folder / plain) + "\n"}};
    r = fixtures::run({caja.string()}, with_list);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(recorded(), (std::multiset<std::string>{first, second}));
    EXPECT_FALSE(fs::exists(folder / "x")) << "a name was run as a command";
}

TEST(DesktopMenus, RemovalTakesExactlyWhatWasWritten) {
    Home s;
    write_menus(s.menu("ru"), s.folders);
    // The user's own things beside ours stay, also one that has our label as its name.
    const fs::path own_script = s.folders.data_home / "nautilus/scripts/Convert to PDF";
    const fs::path own_in_caja = s.folders.config_home / "caja/scripts" / u8(RU_TITLE) / u8("4 на лист (2x2)");
    write_bytes(own_script, "#!/bin/sh\n");
    write_bytes(own_in_caja, "#!/bin/sh\n# my own\n");

    remove_menus(s.every_language(), s.folders);
    EXPECT_EQ(s.files(), (std::set<std::string>{"data/nautilus/scripts/Convert to PDF",
                                                "config/caja/scripts/" + RU_TITLE + "/4 на лист (2x2)"}));
    EXPECT_FALSE(fs::exists(s.folders.data_home / "nautilus/scripts" / u8(RU_TITLE))) << "the empty folder stays";

    EXPECT_NO_THROW(remove_menus(s.every_language(), s.folders)) << "nothing installed";
}

TEST(DesktopMenus, RemovalTakesKazakhScriptsNamedAsEarlierVersionsNamedThem) {
    Home s;
    const shell::Menu kk = s.menu("kk");
    const fs::path old_script = s.folders.config_home / "caja/scripts" / u8(KK_TITLE) / u8(kk.entries.back().label);
    write_bytes(old_script, "#!/bin/sh\n# mergalo: right-click menu entry for ZIP archives\n");
    EXPECT_EQ(shell::remove_desktop_files(shell::every_desktop_file(s.every_language(), s.folders)),
              std::vector<shell::FileManager>{shell::FileManager::caja});
    EXPECT_EQ(s.files(), std::set<std::string>{});
}

TEST(DesktopMenus, LanguageChangeRelabels) {
    Home s;
    write_menus(s.menu("ru"), s.folders);
    remove_menus(s.every_language(), s.folders);
    write_menus(s.menu("kk"), s.folders);

    const auto files = s.files();
    EXPECT_EQ(files.size(), ru_files().size());
    EXPECT_FALSE(fs::exists(s.folders.data_home / "nautilus/scripts" / u8(RU_TITLE)));
    EXPECT_TRUE(files.count("data/nautilus/scripts/" + KK_TITLE + "/3. Параққа 6 (2x3)"));
    EXPECT_TRUE(files.count("config/caja/scripts/" + KK_TITLE + "/5. Tarvo PDF Mergalo нұсқаулығы"));
    const std::string dolphin = read_bytes(s.folders.data_home / "kio/servicemenus/mergalo-zip.desktop");
    EXPECT_NE(dolphin.find("Name=Параққа 1 (әдеттегі)\n"), std::string::npos);
    EXPECT_EQ(dolphin.find("на лист"), std::string::npos);
}

// Nautilus and Caja list scripts sorted by g_utf8_collate_key_for_filename of their
// names (digits by value, then letters); the menu's order must come out, help last.
TEST(DesktopMenus, ScriptsSortInTheMenusOrderInEveryLanguage) {
    std::setlocale(LC_COLLATE, "C.UTF-8");
    for (const char* lang : {"ru", "kk"}) {
        Home s;
        const shell::Menu menu = s.menu(lang);
        std::vector<std::string> in_menu_order;
        for (const auto& f : shell::desktop_menu_files(menu, s.folders, {shell::FileManager::caja}))
            in_menu_order.push_back(platform::utf8(f.path.filename()));
        ASSERT_EQ(in_menu_order.size(), menu.entries.size());
        std::vector<std::string> sorted = in_menu_order;
        std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
            gchar* ka = g_utf8_collate_key_for_filename(a.c_str(), -1);
            gchar* kb = g_utf8_collate_key_for_filename(b.c_str(), -1);
            const bool less = std::string(ka) < std::string(kb);
            g_free(ka);
            g_free(kb);
            return less;
        });
        EXPECT_EQ(sorted, in_menu_order) << lang;
        EXPECT_NE(sorted.back().find(menu.entries.back().label), std::string::npos) << lang << ": help last";
    }
}

TEST(DesktopMenus, FileManagersAreFoundByTheirProgramOnThePath) {
    using shell::FileManager;
    fixtures::TempDir dir;
    auto program = [&](const std::string& path, bool executable) {
        write_bytes(dir / path, "#!/bin/sh\n");
        fs::permissions(dir / path, executable ? fs::perms(0755) : fs::perms(0644));
    };
    program("usr/bin/caja", true);
    program("usr/bin/nemo", true);
    program("opt/kde/bin/dolphin", true);
    program("plain/nautilus", false);               // not executable
    fs::create_directories(dir / "dirs/nautilus");  // a folder of that name
    program("here/nautilus", true);                 // in the working folder, which an empty entry is not
    const std::string bin = (dir / "usr/bin").string();
    const std::string kde = (dir / "opt/kde/bin").string();
    const struct {
        std::string path;
        std::vector<FileManager> found;
    } cases[] = {
        {"", {}},
        {(dir / "nothing").string(), {}},
        {bin, {FileManager::caja, FileManager::nemo}},
        {(dir / "plain").string() + ":" + (dir / "dirs").string(), {}},
        {"::" + kde + ":" + bin + ":", {FileManager::dolphin, FileManager::caja, FileManager::nemo}},
    };
    const fs::path before = fs::current_path();
    fs::current_path(dir / "here");
    for (const auto& c : cases) EXPECT_EQ(shell::installed_file_managers(c.path), c.found) << c.path;
    fs::current_path(before);
}

TEST(DesktopMenus, ApplicationEntryOpensZipArchivesAndPassesDesktopFileValidate) {
    Home s;
    s.program = s.dir.path() / u8("Tom's \"best\" $HOME `x` 100% \\ Мерж") / "Mergalo";
    const fs::path theme = s.dir / "My Apps" / "mgl" / "assets";
    for (const char* size : {"16x16", "48x48"}) write_bytes(theme / "hicolor" / size / "apps" / "mergalo.png", size);
    shell::replace_desktop_files(shell::application_entry_files(s.menu("kk"), s.folders, theme), {});
    EXPECT_EQ(s.files(),
              (std::set<std::string>{"data/applications/mergalo.desktop", "data/icons/hicolor/16x16/apps/mergalo.png",
                                     "data/icons/hicolor/48x48/apps/mergalo.png"}));
    EXPECT_EQ(read_bytes(s.folders.data_home / "icons/hicolor/48x48/apps/mergalo.png"), "48x48");
    const fs::path entry = s.folders.data_home / "applications/mergalo.desktop";
    auto r = fixtures::run({"/usr/bin/desktop-file-validate", entry.string()});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err << read_bytes(entry);
    EXPECT_EQ(r.out, "");
    const std::string text = read_bytes(entry);
    for (const std::string& line :
         {std::string("\nName=Tarvo PDF Mergalo\n"), std::string("\nMimeType=application/zip;\n"),
          std::string("\nIcon=mergalo\n"), std::string("\nComment[kk]=Tarvo PDF Mergalo — жүкқұжаттарды біріктіру\n"),
          std::string(" --choose-layout %F\n"), std::string("\nKeywords=") + i18n::t("app_keywords", "ru") + "\n",
          std::string("\nKeywords[kk]=") + i18n::t("app_keywords", "kk") + "\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
}

// A file in the way of one file manager's folder, or of one file, fails the install; what
// was installed before stays as it was (failure before the renames) or nothing of ours
// stays (failure between them), never one file manager with entries and another without.
TEST(DesktopMenus, AFailedInstallWritesAllOrNone) {
    const struct {
        const char* blocker;  // relative to the test folder
        bool directory;       // a folder with something in it, else a file
        bool keeps_old;       // the old menu is still whole afterwards
    } cases[] = {
        {"config/caja/scripts", false, true},
        {"data/nemo/actions", false, true},
        {"data/applications", false, true},
        {"data/nemo/actions/mergalo-05_help.nemo_action", true, false},
    };
    for (const auto& c : cases) {
        Home s;
        const auto old_files = shell::desktop_menu_files(s.menu("ru"), s.folders, {shell::FileManager::dolphin});
        shell::replace_desktop_files(old_files, {});
        if (c.directory)
            write_bytes(s.dir / c.blocker / "inside", "x");
        else
            write_bytes(s.dir / c.blocker, "x");
        const std::set<std::string> before = s.files();
        auto files = shell::desktop_menu_files(s.menu("kk"), s.folders);
        const auto entry = shell::application_entry_files(s.menu("kk"), s.folders, s.dir / "no theme");
        files.insert(files.end(), entry.begin(), entry.end());
        try {
            shell::replace_desktop_files(files, shell::every_desktop_file(s.every_language(), s.folders));
            ADD_FAILURE() << c.blocker << ": no failure";
        } catch (const diag::Error& e) {
            ASSERT_NE(e.text(), nullptr) << e.what();
            EXPECT_EQ(e.text()->key, "file_write_failed") << c.blocker;
            EXPECT_FALSE(e.text()->detail.empty()) << "the system's words go to the detail";
        }
        const std::string blocker = std::string(c.blocker) + (c.directory ? "/inside" : "");
        EXPECT_EQ(s.files(), c.keeps_old ? before : std::set<std::string>{blocker}) << c.blocker;
    }
}

// A user's own install as --install makes it: the file managers found on PATH, the
// application entry, the list of programs refreshed, and the folders made recorded.
struct UserInstall {
    Home s;
    fs::path bin = s.dir / "bin";
    fs::path record = s.dir / "settings" / "menu_folders.txt";
    fixtures::EnvVar data{"XDG_DATA_HOME", s.folders.data_home.c_str()};
    fixtures::EnvVar config{"XDG_CONFIG_HOME", s.folders.config_home.c_str()};
    fixtures::EnvVar data_dirs{"XDG_DATA_DIRS", (s.dir / "system").c_str()};  // no system programs for ZIP
    fixtures::EnvVar path{"PATH", (bin.string() + ":/usr/bin:/bin").c_str()};

    UserInstall() {
        fs::create_directories(bin);
        // The system's file types, for the launchers to tell a ZIP archive.
        fs::create_directories(s.dir / "system");
        fs::create_directory_symlink("/usr/share/mime", s.dir / "system" / "mime");
    }
    void program(const std::string& name, const std::string& body) {
        write_bytes(bin / name, "#!/bin/sh\n" + body + "\n");
        fs::permissions(bin / name, fs::perms(0755));
    }
    std::vector<std::string> install(std::string_view lang = "ru") const {
        const auto placed = shell::detail::install_in_file_managers(
            {s.menu(lang), s.every_language(), true, s.dir / "no theme", record});
        EXPECT_TRUE(placed.programs_listed);
        return placed.names;
    }
    void uninstall() const { shell::detail::uninstall_from_file_managers(s.every_language(), record); }
    // Every folder below the test folder, relative to it.
    std::set<std::string> folders() const {
        std::set<std::string> found;
        for (const auto& e : fs::recursive_directory_iterator(s.dir.path()))
            if (e.is_directory()) found.insert(platform::utf8(e.path().lexically_relative(s.dir.path())));
        return found;
    }
};

// "Open with" starts the program through every launcher: xdg-open without a desktop
// environment (which splits the Exec line at blanks and keeps quotes), gtk-launch and
// gio, each finding the entry through the list that the install refreshed.
TEST(DesktopMenus, ApplicationEntryStartsThroughEveryLauncher) {
    UserInstall u;
    u.s.program = u.s.dir / "apps" / "Mergalo";
    const fs::path args = u.s.dir / "args";
    write_bytes(u.s.program, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + args.string() + ".tmp\"\nmv \"" + args.string() +
                                 ".tmp\" \"" + args.string() + "\"\n");
    fs::permissions(u.s.program, fs::perms(0755));
    u.install();
    const fs::path entry = u.s.folders.data_home / "applications/mergalo.desktop";
    EXPECT_NE(read_bytes(entry).find("\nTryExec=" + platform::utf8(u.s.program) + "\n"), std::string::npos);
    EXPECT_NE(read_bytes(entry).find("\nExec=" + platform::utf8(u.s.program) + " --choose-layout %F\n"),
              std::string::npos)
        << read_bytes(entry);
    EXPECT_NE(
        read_bytes(u.s.folders.data_home / "applications/mimeinfo.cache").find("application/zip=mergalo.desktop;"),
        std::string::npos);

    const fs::path archive = u.s.dir / "Накладные 1.zip";
    write_bytes(archive, std::string("PK\x03\x04\x14\x00\x00\x00\x08\x00", 10) + std::string(40, '\0'));
    fixtures::RunOptions plain;
    plain.env = {{"XDG_CURRENT_DESKTOP", std::nullopt},     {"DESKTOP_SESSION", std::nullopt},
                 {"KDE_FULL_SESSION", std::nullopt},        {"GNOME_DESKTOP_SESSION_ID", std::nullopt},
                 {"MATE_DESKTOP_SESSION_ID", std::nullopt}, {"DISPLAY", std::string(":99")}};
    struct Launcher {
        std::vector<std::string> argv;
        bool needs_display;
    };
    std::vector<Launcher> launchers{{{"/usr/bin/xdg-open", archive.string()}, false}};
    if (fs::exists("/usr/bin/gio")) launchers.push_back({{"/usr/bin/gio", "open", archive.string()}, false});
    if (fs::exists("/usr/bin/gtk-launch"))
        launchers.push_back({{"/usr/bin/gtk-launch", "mergalo", archive.string()}, true});
    for (const auto& l : launchers) {
        if (l.needs_display && !platform::get_env("DISPLAY")) continue;
        fs::remove(args);
        const auto r = fixtures::run(l.argv, l.needs_display ? fixtures::RunOptions{} : plain);
        EXPECT_EQ(r.exit_code, 0) << l.argv[0] << ": " << r.out << r.err;
        // gtk-launch and gio may return before the program has run.
        for (int i = 0; i < 1000 && !fs::exists(args); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(fs::exists(args) ? read_bytes(args) : "not started", "--choose-layout\n" + archive.string() + "\n")
            << l.argv[0];
    }
    if (fs::exists("/usr/bin/gio")) {
        const auto r = fixtures::run({"/usr/bin/gio", "mime", "application/zip"});
        EXPECT_NE(r.out.find("mergalo.desktop"), std::string::npos) << r.out << r.err;
    }
}

// A file manager not found on PATH this time keeps its menu (relabelled); only the
// uninstall removes it, and with it every folder the installs made and nothing else.
TEST(DesktopMenus, UninstallLeavesNoFolderItMadeAndReinstallKeepsMenusOfFileManagersNotFound) {
    UserInstall u;
    // Folders of the user's that were there before: one empty, one with the user's script.
    fs::create_directories(u.s.folders.data_home / "nemo/actions");
    write_bytes(u.s.folders.config_home / "caja/scripts/Convert", "#!/bin/sh\n");
    u.program("caja", "");
    u.program("nemo", "");
    const std::set<std::string> before = u.folders();

    EXPECT_EQ(u.install(), (std::vector<std::string>{"Caja", "Nemo"}));
    fs::remove(u.bin / "caja");
    EXPECT_EQ(u.install("kk"), (std::vector<std::string>{"Caja", "Nemo"}));
    EXPECT_TRUE(fs::exists(u.s.folders.config_home / "caja/scripts" / u8(KK_TITLE) / u8("3. Параққа 6 (2x3)")));
    EXPECT_FALSE(fs::exists(u.s.folders.config_home / "caja/scripts" / u8(RU_TITLE)));
    EXPECT_FALSE(fs::exists(u.s.folders.data_home / "nautilus")) << "a file manager never found gets nothing";

    u.uninstall();
    EXPECT_EQ(u.folders(), before);
    EXPECT_EQ(u.s.files(), std::set<std::string>{"config/caja/scripts/Convert"});

    // A folder made by the install that the user has put a file into stays, and goes
    // with a later uninstall once it is empty.
    u.install();
    write_bytes(u.s.folders.data_home / "applications/other.desktop", "[Desktop Entry]\n");
    u.uninstall();
    EXPECT_TRUE(fs::exists(u.s.folders.data_home / "applications/other.desktop"));
    fs::remove(u.s.folders.data_home / "applications/other.desktop");
    u.uninstall();
    EXPECT_EQ(u.folders(), before);

    // Beside an application entry of the user's, the folders made for Nautilus go and
    // the user's folder stays.
    write_bytes(u.s.folders.data_home / "applications/other.desktop", "[Desktop Entry]\n");
    u.program("nautilus", "");
    const std::set<std::string> with_entry = u.folders();
    EXPECT_EQ(u.install(), (std::vector<std::string>{"Nautilus", "Nemo"}));
    u.uninstall();
    EXPECT_EQ(u.folders(), with_entry);
    EXPECT_TRUE(fs::exists(u.s.folders.data_home / "applications/other.desktop"));
}
