// Tk's own dialogs as the program shows them, on real windows: the open-file dialog's
// file types and texts, and the program icon on the dialogs and message boxes.
#include "ui/dialogs.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "platform/platform.hpp"
#include "support/env.hpp"
#include "support/program_dir.hpp"
#include "support/temp_dir.hpp"
#include "ui/ui_support.hpp"
#include "ui/window.hpp"

namespace {

namespace fs = std::filesystem;
namespace tk = ui::tk;
using Names = std::vector<std::string>;
using uitest::text_of;

const std::string DIALOG = ".__tk_filedialog";
const std::string F2 = DIALOG + ".contents.f2";

// The first descendant of `widget` of the Tk class `type`.
std::string find_of_class(tk::Interp& in, const std::string& widget, const std::string& type) {
    for (const auto& child : uitest::children_of(in, widget)) {
        if (in.call({"winfo", "class", child}) == type) return child;
        if (auto found = find_of_class(in, child, type); !found.empty()) return found;
    }
    return {};
}

// The names the open-file dialog lists, sorted.
Names listed(tk::Interp& in) {
    in.update();
    const std::string canvas = find_of_class(in, DIALOG + ".contents.icons", "Canvas");
    Names names;
    const std::string items = in.call({canvas, "find", "all"});
    std::istringstream ids(items);
    for (std::string id; ids >> id;)
        if (in.call({canvas, "type", id}) == "text") names.push_back(in.call({canvas, "itemcget", id, "-text"}));
    std::sort(names.begin(), names.end());
    return names;
}

// True when the window manager is offered an icon for the top-level `window`. It is found
// by its title, made this process's own first: other tests' windows of the same title
// may share the screen.
bool has_icon(tk::Interp& in, const std::string& window) {
    const std::string title = in.call({"wm", "title", window}) + " " + std::to_string(::getpid());
    in.call({"wm", "title", window, title});
    in.call({"update", "idletasks"});
    return in.call({"exec", "xprop", "-name", title, "_NET_WM_ICON"}).starts_with("_NET_WM_ICON(CARDINAL)");
}

class DialogsTest : public ::testing::Test {
protected:
    fixtures::ProgramDir program;
    fs::path folder = program.root() / "Загрузки";
    fixtures::EnvVar home{"HOME", program.root().c_str()};

    void SetUp() override {
        for (const char* name : {"ЗАКАЗЫ.ZIP", "b.zip", "c.Zip", "notes.txt", "d.zip.txt", ".old.zip"})
            fixtures::write_bytes(folder / name, "x");
        fs::create_directories(folder / "архив");
        fs::create_directories(folder / ".cache");
        // The user's Downloads folder, named as xdg-user-dirs names it in Russian.
        fixtures::write_bytes(platform::xdg_config_home() / "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Загрузки\"\n");
        // The icon, drawn by Tk itself.
        tk::Interp in;
        fs::create_directories(program.resources() / "assets");
        in.call({"image", "create", "photo", "drawn", "-width", 16, "-height", 16});
        in.call({"drawn", "put", "#1d4ed8", "-to", 0, 0, 16, 16});
        in.call({"drawn", "write", program.resources() / "assets" / "mergalo.png", "-format", "png"});
    }
};

TEST_F(DialogsTest, OpenFileDialogListsZipArchivesInAnyCaseThenAllFilesInTheProgramsLanguage) {
    struct Case {
        const char* lang;
        Names labels;  // Tk's own: file name, file type, OK, Cancel
    };
    for (const Case& c : {Case{"kk", {"Файл атауы:", "Файл түрі:", "Ашу", "Бас тарту"}},
                          Case{"ru", {"Имя файла:", "Тип файлов:", "Открыть", "Отмена"}}}) {
        i18n::write_language(program.context().data_dir, c.lang);
        const fs::path before = fs::current_path();
        fs::current_path(program.root());  // not where the dialog opens: Downloads
        tk::Interp root;
        uitest::Driver driver;
        driver.then([&c](tk::Interp& in) {
            EXPECT_EQ(in.call({"wm", "title", DIALOG}), i18n::t("choose_zip", c.lang));
            EXPECT_EQ((Names{text_of(in, F2 + ".lab"), text_of(in, F2 + ".lab2"), text_of(in, F2 + ".ok"),
                             text_of(in, F2 + ".cancel")}),
                      c.labels);
            EXPECT_EQ(
                (Names{text_of(in, F2 + ".menu"), in.call({F2 + ".menu.m", "entrycget", 1, "-label"})}),
                (Names{i18n::t("file_type_zip", c.lang) + " (*.zip)", i18n::t("file_type_all", c.lang) + " (*)"}));
            EXPECT_EQ(listed(in), (Names{"b.zip", "c.Zip", "ЗАКАЗЫ.ZIP", "архив"}));
            in.call({F2 + ".menu.m", "invoke", 1});
            EXPECT_EQ(listed(in), (Names{"b.zip", "c.Zip", "d.zip.txt", "notes.txt", "ЗАКАЗЫ.ZIP", "архив"}));
            // Hidden entries on the dialog's own switch, and a list of more than six rows.
            in.call({F2 + ".hidden", "invoke"});
            EXPECT_EQ(listed(in),
                      (Names{".cache", ".old.zip", "b.zip", "c.Zip", "d.zip.txt", "notes.txt", "ЗАКАЗЫ.ZIP", "архив"}));
            const std::string canvas = find_of_class(in, DIALOG + ".contents.icons", "Canvas");
            EXPECT_EQ(in.call_int({canvas, "cget", "-height"}), ui::Scale(in)(ui::FILE_LIST_HEIGHT));
            EXPECT_GE(in.call_int({"winfo", "height", canvas}), ui::Scale(in)(ui::FILE_LIST_HEIGHT));
            EXPECT_TRUE(has_icon(in, DIALOG));
            in.call({F2 + ".cancel", "invoke"});
        });
        EXPECT_EQ(ui::ask_for_archive(program.context(), root), std::nullopt) << c.lang;
        fs::current_path(before);
    }
}

TEST_F(DialogsTest, MessageBoxesCarryTheProgramIcon) {
    tk::Interp in;
    ui::prepare_dialogs(program.context(), in, "kk");
    tk::detail::Hooks hooks;
    bool icon = false;
    std::string yes;
    hooks.on_wait = [&](tk::Interp& i) {
        uitest::when_shown(i, ".__tk__messagebox", [&] {
            icon = has_icon(i, ".__tk__messagebox");
            yes = i.call({".__tk__messagebox.yes", "cget", "-text"});
            i.call({".__tk__messagebox.no", "invoke"});
        });
    };
    tk::detail::set_hooks(hooks);
    tk::ask_yes_no("Tarvo PDF Mergalo", "?");
    tk::detail::set_hooks({});
    EXPECT_TRUE(icon);
    EXPECT_EQ(yes, "Иә");
}

}  // namespace
