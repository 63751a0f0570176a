// The result window on real Tk windows: its details, the seven buttons, the language
// switch, literal paths, and the no-display fallback.
#include "ui/result_window.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <set>

#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "platform/platform.hpp"
#include "support/program_dir.hpp"
#include "ui/ui_support.hpp"
#include "ui/window.hpp"

namespace {

namespace fs = std::filesystem;
namespace tk = ui::tk;
using i18n::t;
using uitest::text_of;

job::MergeResult result_for(const fs::path& folder, int nup, bool with_new) {
    job::MergeResult r;
    r.nup = nup;
    const std::string suffix = nup > 1 ? "_" + std::to_string(nup) + "up" : "";
    r.out_pdf = r.out_pdf_all = folder / ("orders_Tarvo PDF Mergalo_MERGED" + suffix + ".pdf");
    r.file_count = r.file_count_all = 10;
    r.total_pages = r.total_pages_all = 12;
    r.final_sheets = r.final_sheets_all = nup > 1 ? 3 : 12;
    if (with_new) {
        r.out_pdf_new = folder / ("orders_Tarvo PDF Mergalo_NEW_MERGED" + suffix + ".pdf");
        r.file_count_new = 7;
        r.total_pages_new = 8;
        r.final_sheets_new = nup > 1 ? 2 : 8;
    }
    return r;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        out.push_back(text.substr(start, end - start));
    out.push_back(text.substr(start));
    return out;
}

class ResultWindowTest : public ::testing::Test {
protected:
    fixtures::ProgramDir program;
    fs::path out = program.root() / "Заказы";
    void SetUp() override { fs::create_directories(out); }
    void use_language(const char* lang) { i18n::write_language(program.context().data_dir, lang); }
};

// The catalogue's text `key` in `lang` with the one value `name`.
std::string t1(std::string_view key, std::string_view lang, std::string_view name, const i18n::Value& value) {
    return i18n::t(key, lang, {{name, value}});
}

TEST_F(ResultWindowTest, DetailsHaveSevenEightOrNineLines) {
    const std::string all = platform::utf8(out / "orders_Tarvo PDF Mergalo_MERGED_4up.pdf");
    const std::string fresh = platform::utf8(out / "orders_Tarvo PDF Mergalo_NEW_MERGED_4up.pdf");
    EXPECT_EQ(lines(ui::build_details(program.context(), result_for(out, 4, true), "ru")),
              (std::vector<std::string>{
                  t1("detail_version", "ru", "version", MERGALO_VERSION), t1("detail_file_all", "ru", "path", all),
                  t1("detail_file_new", "ru", "path", fresh), t1("detail_mode", "ru", "mode", t("mode_4up", "ru")),
                  t1("files_taken", "ru", "count", 10), t1("detail_new_count", "ru", "count", 7),
                  t1("detail_pages", "ru", "count", 12), t1("detail_sheets_all", "ru", "count", 3),
                  t1("detail_sheets_new", "ru", "count", 2)}));
    EXPECT_EQ(
        lines(ui::build_details(program.context(), result_for(out, 9, false), "kk")),
        (std::vector<std::string>{t1("detail_version", "kk", "version", MERGALO_VERSION),
                                  t1("detail_file_all", "kk", "path", out / "orders_Tarvo PDF Mergalo_MERGED_9up.pdf"),
                                  t1("detail_file_new", "kk", "path", t("detail_no_new_file", "kk")),
                                  t1("detail_mode", "kk", "mode", t("mode_9up", "kk")),
                                  t1("files_taken", "kk", "count", 10), t1("detail_new_count", "kk", "count", 0),
                                  t1("detail_pages", "kk", "count", 12), t1("detail_sheets_all", "kk", "count", 3)}));
    // One per sheet: no sheet lines, with or without new waybills.
    for (bool with_new : {true, false}) {
        const auto got = lines(ui::build_details(program.context(), result_for(out, 1, with_new), "ru"));
        ASSERT_EQ(got.size(), 7u);
        EXPECT_EQ(got[3], t1("detail_mode", "ru", "mode", t("mode_1up", "ru")));
        EXPECT_EQ(got[6], t1("detail_pages", "ru", "count", 12));
    }
    // An empty path counts as no new-only file.
    auto empty_new = result_for(out, 6, false);
    empty_new.out_pdf_new = fs::path();
    const auto got = lines(ui::build_details(program.context(), empty_new, "ru"));
    EXPECT_EQ(got.size(), 8u);
    EXPECT_EQ(got[2], t1("detail_file_new", "ru", "path", t("detail_no_new_file", "ru")));
}

TEST_F(ResultWindowTest, RepairedAndConflictingWaybillsAddALineEachOnlyWhenThereAreAny) {
    auto r = result_for(out, 4, true);
    r.repaired = {"заказ 1.pdf", "заказ 2.pdf"};
    r.conflicting_duplicates = {"a.pdf", "b.pdf", "c.pdf", "d.pdf", "e.pdf", "f.pdf", "g.pdf"};
    const auto ru = lines(ui::build_details(program.context(), r, "ru"));
    ASSERT_EQ(ru.size(), 11u);
    EXPECT_EQ(ru[9], t("result_repaired", "ru", {{"count", 2}, {"names", "«заказ 1.pdf», «заказ 2.pdf»"}}));
    // The first five names, then how many more.
    EXPECT_EQ(
        ru[10],
        t("result_conflicting_duplicates", "ru",
          {{"count", 7},
           {"names", "«a.pdf», «b.pdf», «c.pdf», «d.pdf», «e.pdf» " + t1("old_sheets_and_more", "ru", "count", 2)}}));
    r.conflicting_duplicates.clear();
    r.skipped_history_records = 4;
    r.history_copy = out / "waybill_history.csv.2.bad";
    const auto kk = lines(ui::build_details(program.context(), r, "kk"));
    ASSERT_EQ(kk.size(), 11u);
    EXPECT_EQ(kk[9], t("result_repaired", "kk", {{"count", 2}, {"names", "«заказ 1.pdf», «заказ 2.pdf»"}}));
    EXPECT_EQ(kk[10], t("result_history_skipped", "kk", {{"count", 4}, {"path", *r.history_copy}}));
    // The history moved to the user's folder: said last, while no history was kept there.
    product::Context moved = program.context();
    moved.tell_history_place = true;
    const auto told = lines(ui::build_details(moved, r, "kk"));
    ASSERT_EQ(told.size(), 12u);
    EXPECT_EQ(told[11], t("result_history_moved", "kk", {{"path", moved.history_dir / "waybill_history.csv"}}));
}

// Every text of the window, in the order apply_language sets them.
std::vector<std::string> window_texts(tk::Interp& in) {
    std::vector<std::string> texts;
    for (const char* w : {".done.title", ".done.hint", ".done.details", ".done.buttons.top.all",
                          ".done.buttons.top.new", ".done.buttons.top.folder", ".done.buttons.top.tidy",
                          ".done.buttons.bottom.help", ".done.buttons.bottom.language", ".done.buttons.bottom.close"})
        texts.push_back(text_of(in, w));
    return texts;
}

// The texts window_texts finds on a plain success in `lang` with these details.
std::vector<std::string> success_texts(const std::string& lang, const std::string& details) {
    std::vector<std::string> texts;
    for (const char* key : {"done_title", "done_hint", "", "btn_open_all", "btn_open_new", "btn_open_folder",
                            "clean_old_sheets", "open_help", "change_language", "btn_close"})
        texts.push_back(*key ? t(key, lang) : details);
    return texts;
}

// The window is centred at its natural size (what its widgets ask for).
// Every button of the result window at least as wide as the layout asks (17 characters,
// 22 for the clean-up) and wide enough for its text in the font it is drawn with.
void expect_button_texts_fit(tk::Interp& in, const std::string& lang) {
    for (const auto& [button, least] : {std::pair{"top.all", 17},
                                        {"top.new", 17},
                                        {"top.folder", 17},
                                        {"top.tidy", 22},
                                        {"bottom.help", 17},
                                        {"bottom.language", 17},
                                        {"bottom.close", 17}}) {
        const std::string path = std::string(".done.buttons.") + button;
        const std::string font = uitest::option_of(in, path, "-font");
        const int width = std::stoi(uitest::option_of(in, path, "-width"));
        EXPECT_GE(width, least) << lang << " " << button;
        EXPECT_LE(in.call_int({"font", "measure", font, uitest::text_of(in, path)}),
                  width * in.call_int({"font", "measure", font, "0"}))
            << lang << " " << button << ": the text is cut";
    }
}

void expect_centred_at_natural_size(tk::Interp& in) {
    const int w = in.call_int({"winfo", "reqwidth", ".done"});
    const int h = in.call_int({"winfo", "reqheight", ".done"});
    EXPECT_EQ(in.call({"wm", "geometry", ".done"}),
              ui::detail::centered_geometry(w, h, in.call_int({"winfo", "screenwidth", "."}),
                                            in.call_int({"winfo", "screenheight", "."})));
}

TEST_F(ResultWindowTest, SwitchingToKazakhRelabelsEverythingAndKeepsNewDisabled) {
    use_language("ru");
    const auto result = result_for(out, 4, false);
    uitest::Driver driver;
    driver.answer("ok");
    driver
        .then([&](tk::Interp& in) {
            EXPECT_EQ(in.call({"wm", "title", ".done"}), "Tarvo PDF Mergalo");
            EXPECT_EQ(in.call({"wm", "state", "."}), "withdrawn");
            EXPECT_EQ(text_of(in, ".done.title"), "PDF успешно объединён");
            EXPECT_EQ(window_texts(in), success_texts("ru", ui::build_details(program.context(), result, "ru")));
            EXPECT_EQ(uitest::option_of(in, ".done.buttons.top.new", "-state"), "disabled");
            expect_button_texts_fit(in, "ru");
            EXPECT_EQ(uitest::option_of(in, ".done.details", "-wraplength"), "760");
            EXPECT_EQ(uitest::option_of(in, ".done.title", "-font"), "{Segoe UI} 16 bold");
            expect_centred_at_natural_size(in);
            // Whatever size the window was held at, the new texts get their natural size.
            in.call({"wm", "geometry", ".done", "500x300+1+1"});
            in.call({".done.buttons.bottom.language", "invoke"});
            // Back from the chooser, the language change has happened.
            EXPECT_EQ(text_of(in, ".done.title"), "PDF сәтті біріктірілді");
            EXPECT_EQ(window_texts(in), success_texts("kk", ui::build_details(program.context(), result, "kk")));
            EXPECT_EQ(uitest::option_of(in, ".done.buttons.top.new", "-state"), "disabled");
            expect_button_texts_fit(in, "kk");
            // The Kazakh text fits the layout's width, which is then kept.
            EXPECT_EQ(uitest::option_of(in, ".done.buttons.top.tidy", "-width"), "22");
            in.update();
            expect_centred_at_natural_size(in);
            uitest::close_from_title_bar(in, ".done");
        })
        .then([](tk::Interp& in) {
            in.call({".done.language.frame.kk", "invoke"});
        });
    // Whoever is told of the change (the menu's rewriting) finds the new language saved.
    std::vector<std::string> told, saved_when_told;
    ui::show_done(program.context(), result, [&](const std::string& lang) {
        told.push_back(lang);
        saved_when_told.push_back(i18n::read_language(program.context().data_dir).value_or("(none)"));
    });
    EXPECT_EQ(told, std::vector<std::string>{"kk"});
    EXPECT_EQ(saved_when_told, std::vector<std::string>{"kk"});
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].title, "Tarvo PDF Mergalo");
    EXPECT_EQ(driver.boxes[0].message, t("language_saved", "kk"));
    EXPECT_EQ(i18n::read_language(program.context().data_dir), "kk");
    EXPECT_EQ(tk::Interp::current(), nullptr);
}

// The second of three archives merged in turn: its place in the title, in either
// language, and its window a step off the centre.
TEST_F(ResultWindowTest, OneOfSeveralArchivesNamesItsPlaceInTheTitle) {
    use_language("ru");
    product::Context ctx = program.context();
    ctx.archive_index = 2;
    ctx.archive_count = 3;
    ctx.window_step = 1;
    uitest::Driver driver;
    driver.answer("ok");
    driver
        .then([&](tk::Interp& in) {
            EXPECT_EQ(in.call({"wm", "title", ".done"}), "Tarvo PDF Mergalo — архив 2 из 3");
            const int w = in.call_int({"winfo", "reqwidth", ".done"});
            const int h = in.call_int({"winfo", "reqheight", ".done"});
            EXPECT_EQ(in.call({"wm", "geometry", ".done"}),
                      ui::detail::centered_geometry(w, h, in.call_int({"winfo", "screenwidth", "."}),
                                                    in.call_int({"winfo", "screenheight", "."}), ui::WINDOW_STEP));
            in.call({".done.buttons.bottom.language", "invoke"});
            EXPECT_EQ(in.call({"wm", "title", ".done"}), "Tarvo PDF Mergalo — 2-мұрағат, барлығы 3");
            uitest::close_from_title_bar(in, ".done");
        })
        .then([](tk::Interp& in) {
            in.call({".done.language.frame.kk", "invoke"});
        });
    ui::show_done(ctx, result_for(out, 4, true));
}

TEST_F(ResultWindowTest, ClosingTheLanguageChooserChangesNothing) {
    use_language("kk");
    uitest::Driver driver;
    std::vector<std::string> before;
    driver
        .then([&](tk::Interp& in) {
            before = window_texts(in);
            EXPECT_EQ(uitest::option_of(in, ".done.buttons.top.new", "-state"), "normal");
            in.call({".done.buttons.bottom.language", "invoke"});
            EXPECT_EQ(window_texts(in), before);
            in.call({".done.buttons.bottom.close", "invoke"});
        })
        .then([](tk::Interp& in) { uitest::close_from_title_bar(in, ".done.language"); });
    ui::show_done(program.context(), result_for(out, 4, true));
    EXPECT_EQ(before.at(0), t("done_title", "kk"));
    EXPECT_TRUE(driver.boxes.empty());
    EXPECT_EQ(i18n::read_language(program.context().data_dir), "kk");
}

TEST_F(ResultWindowTest, PathsWithTclSpecialCharactersShowLiterally) {
    const fs::path odd = program.root() / platform::path_from_utf8("Заказы {1} \"2\" [exit] $HOME \\ ; жүк");
    const auto result = result_for(odd, 6, true);
    uitest::Driver driver;
    driver.then([&](tk::Interp& in) {
        EXPECT_EQ(text_of(in, ".done.details"),
                  ui::build_details(program.context(), result, program.context().language()));
        EXPECT_NE(text_of(in, ".done.details").find("[exit] $HOME \\ ; жүк/orders_"), std::string::npos);
        in.call({".done.buttons.bottom.close", "invoke"});
    });
    ui::show_done(program.context(), result);
}

TEST_F(ResultWindowTest, OpenButtonsHandThePathsToTheShell) {
    uitest::FakeOpener opener(program.root());
    const auto result = result_for(out, 4, true);
    fixtures::write_bytes(result.out_pdf_all, "%PDF-1.7");
    fixtures::write_bytes(*result.out_pdf_new, "%PDF-1.7");
    uitest::Driver driver;
    driver.then([](tk::Interp& in) {
        for (const char* b : {"all", "new", "folder"}) in.call({std::string(".done.buttons.top.") + b, "invoke"});
        uitest::close_from_title_bar(in, ".done");
    });
    ui::show_done(program.context(), result);
    const auto opened = opener.opened(3);
    ASSERT_EQ(opened.size(), 3u);
    // Started without waiting: the order of arrival is not fixed.
    EXPECT_EQ(std::multiset<std::string>(opened.begin(), opened.end()),
              (std::multiset<std::string>{platform::utf8(result.out_pdf_all), platform::utf8(*result.out_pdf_new),
                                          platform::utf8(out)}));
}

TEST_F(ResultWindowTest, TidyButtonRunsTheCleanUpOnTheOutputFolderInTheCurrentLanguage) {
    use_language("kk");
    uitest::Driver driver;
    driver.answer("ok");
    driver.then([](tk::Interp& in) {
        in.call({".done.buttons.top.tidy", "invoke"});
        EXPECT_TRUE(in.exists(".done")) << "the window stays open";
        in.call({".done.buttons.bottom.close", "invoke"});
    });
    ui::show_done(program.context(), result_for(out, 1, false));
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].message, t("old_sheets_none", "kk"));
}

TEST_F(ResultWindowTest, SomethingToCheckIsNotAPlainSuccess) {
    struct Case {
        std::vector<std::string> repaired, left_out;
        int skipped;
        const char* lang;
        const char* title;
        const char* hint;
    };
    const std::vector<Case> cases = {
        {{}, {}, 0, "ru", "done_title", "done_hint"},
        {{"день2/Заказ_X.pdf"}, {}, 0, "ru", "done_title_check", "done_hint_check"},
        {{}, {"день2/Заказ_X.pdf"}, 0, "kk", "done_title_check", "done_hint_check"},
        // Only the history had damaged records: no waybill is named below.
        {{}, {}, 3, "kk", "done_title_check", "done_hint_history"},
        {{"день2/Заказ_X.pdf"}, {}, 3, "ru", "done_title_check", "done_hint_check"},
        {{}, {}, 0, "kk", "done_title", "done_hint"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.hint) + " " + c.lang);
        use_language(c.lang);
        auto result = result_for(out, 4, true);
        result.repaired = c.repaired;
        result.conflicting_duplicates = c.left_out;
        result.skipped_history_records = c.skipped;
        uitest::Driver driver;
        driver.then([&](tk::Interp& in) {
            EXPECT_EQ(text_of(in, ".done.title"), t(c.title, c.lang));
            EXPECT_EQ(text_of(in, ".done.hint"), t(c.hint, c.lang));
            in.call({".done.buttons.bottom.close", "invoke"});
        });
        ui::show_done(program.context(), result);
    }
}

// A follow-up action that fails after the merge says so in a box of its own, in the
// user's words, and the window stays usable.
TEST_F(ResultWindowTest, AFailedActionIsSaidInItsOwnBoxAndTheWindowStays) {
    const auto result = result_for(out, 4, true);
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::string click;  // a button of .done
        const char* why;    // the advice under the path
    };
    const std::vector<Case> cases = {
        {"output deleted", [] {}, "buttons.top.all", "fs_not_found"},
        {"folder deleted", [&] { fs::remove_all(out); }, "buttons.top.folder", "fs_not_found"},
        {"no program to open with",
         [&] {
             fs::create_directories(out);
             fixtures::write_bytes(*result.out_pdf_new, "%PDF-1.7");
             ::setenv("PATH", platform::utf8(program.root() / "empty").c_str(), 1);
         },
         "buttons.top.new", "open_no_program"},
        {"the opener finds no program for PDF files",
         [&] {
             fs::create_directories(out);
             fixtures::write_bytes(result.out_pdf_all, "%PDF-1.7");
             const fs::path bin = program.root() / "no-viewer";
             fixtures::write_bytes(bin / "xdg-open", "#!/bin/sh\necho \"xdg-open: no method available\" >&2\nexit 3\n");
             fs::permissions(bin / "xdg-open", fs::perms::owner_all);
             ::setenv("PATH", (platform::utf8(bin) + ":/usr/bin:/bin").c_str(), 1);
         },
         "buttons.top.all", "open_no_program"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fixtures::EnvVar path("PATH");
        use_language("ru");
        c.arrange();
        uitest::Driver driver;
        driver.answer("ok");
        driver.then([&](tk::Interp& in) {
            in.call({".done." + c.click, "invoke"});
            EXPECT_TRUE(in.exists(".done")) << "the window stays";
            in.call({".done.buttons.bottom.close", "invoke"});
        });
        ui::show_done(program.context(), result);
        ASSERT_EQ(driver.boxes.size(), 1u);
        EXPECT_EQ(driver.boxes[0].icon, "error");
        const std::string& box = driver.boxes[0].message;
        // The path (shortened in the middle when long), then why.
        EXPECT_TRUE(box.starts_with(t("open_failed", "ru", {{"path", ""}})) && box.ends_with("\n" + t(c.why, "ru")))
            << box;
    }
}

TEST_F(ResultWindowTest, WithoutADisplayTheDetailsGoToStandardOutput) {
    use_language("ru");
    fixtures::EnvVar no_display("DISPLAY", nullptr);
    const auto result = result_for(out, 4, true);
    ::testing::internal::CaptureStdout();
    ui::show_done(program.context(), result);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), ui::build_details(program.context(), result, "ru") + "\n");
}

}  // namespace
