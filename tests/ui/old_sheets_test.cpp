// The clean-up of old output sheets with its message boxes.
#include "ui/old_sheets.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "i18n/catalogue.hpp"
#include "support/program_dir.hpp"
#include "support/temp_dir.hpp"
#include "ui/ui_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace chr = std::chrono;
namespace tk = ui::tk;

class CleanUpTest : public ::testing::Test {
protected:
    fixtures::ProgramDir program;
    fs::path folder = program.root() / "Заказы";

    fs::path sheet(const std::string& name, chr::hours age) {
        const fs::path p = folder / name;
        fixtures::write_bytes(p, "%PDF-1.7\n");
        fs::last_write_time(p, fs::file_time_type::clock::now() - age);
        return p;
    }
};

TEST_F(CleanUpTest, ConfirmedDeletesOnlyTheListedOldSheets) {
    const auto four_days = chr::hours{24 * 4};
    const fs::path old_all = sheet("day1_Tarvo PDF Mergalo_MERGED_4up.pdf", four_days);
    const fs::path old_new = sheet("day1_Tarvo PDF Mergalo_NEW_MERGED_4up.pdf", four_days);
    const fs::path today = sheet("day5_Tarvo PDF Mergalo_MERGED_4up.pdf", chr::hours{1});
    const fs::path archive = sheet("day1.zip", four_days);
    const fs::path lower = sheet("day1_Tarvo PDF Mergalo_merged.pdf", four_days);
    uitest::Driver driver;
    driver.answer("yes");
    ui::clean_old_sheets(program.context(), folder, "ru");
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].type, "yesno");
    EXPECT_EQ(driver.boxes[0].title, "Tarvo PDF Mergalo");
    EXPECT_EQ(driver.boxes[0].message,
              i18n::t("old_sheets_confirm", "ru",
                      {{"names", "day1_Tarvo PDF Mergalo_MERGED_4up.pdf\nday1_Tarvo PDF Mergalo_NEW_MERGED_4up.pdf"}}));
    EXPECT_FALSE(fs::exists(old_all));
    EXPECT_FALSE(fs::exists(old_new));
    for (const auto& kept : {today, archive, lower}) EXPECT_TRUE(fs::exists(kept)) << kept;
}

TEST_F(CleanUpTest, AnsweredNoDeletesNothing) {
    for (char i = '1'; i <= '7'; ++i)
        sheet(std::string(1, 'd') + i + "_Tarvo PDF Mergalo_MERGED.pdf", chr::hours{24 * 5});
    uitest::Driver driver;
    driver.answer("no");
    ui::clean_old_sheets(program.context(), folder, "kk");
    ASSERT_EQ(driver.boxes.size(), 1u);
    const std::string and_more = i18n::t("old_sheets_and_more", "kk", {{"count", 2}});
    EXPECT_NE(driver.boxes[0].message.find("d5_Tarvo PDF Mergalo_MERGED.pdf\n" + and_more + "\n\n"), std::string::npos)
        << driver.boxes[0].message;
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 7);
}

TEST_F(CleanUpTest, AFileThatCannotBeDeletedIsSkippedSilently) {
    const fs::path a = sheet("a_Tarvo PDF Mergalo_MERGED.pdf", chr::hours{24 * 4});
    const fs::path b = sheet("b_Tarvo PDF Mergalo_MERGED.pdf", chr::hours{24 * 4});
    uitest::Driver driver;
    // The first listed file vanishes while the question is open.
    driver.answer("yes");
    tk::detail::Hooks hooks = tk::detail::hooks();
    auto answer = hooks.answer_message_box;
    hooks.answer_message_box = [&](const tk::MessageBox& box) {
        fs::remove(a);
        return answer(box);
    };
    tk::detail::set_hooks(hooks);
    ui::clean_old_sheets(program.context(), folder, "ru");
    EXPECT_FALSE(fs::exists(b));
    EXPECT_EQ(driver.boxes.size(), 1u) << "no message about the skipped file";
}

TEST_F(CleanUpTest, NothingOldSaysSo) {
    sheet("today_Tarvo PDF Mergalo_MERGED.pdf", chr::hours{2});
    uitest::Driver driver;
    driver.answer("ok").answer("ok");
    ui::clean_old_sheets(program.context(), folder, "kk");
    ui::clean_old_sheets(program.context(), folder / "missing", "ru");
    ASSERT_EQ(driver.boxes.size(), 2u);
    EXPECT_EQ(driver.boxes[0].type, "ok");
    EXPECT_EQ(driver.boxes[0].message, i18n::t("old_sheets_none", "kk"));
    EXPECT_EQ(driver.boxes[1].message, i18n::t("old_sheets_none", "ru"));
}

TEST_F(CleanUpTest, WithoutADisplayItSaysSoAndDeletesNothing) {
    const fs::path old = sheet("a_Tarvo PDF Mergalo_MERGED.pdf", chr::hours{24 * 4});
    fixtures::EnvVar no_display("DISPLAY", nullptr);
    ::testing::internal::CaptureStderr();
    ui::clean_old_sheets(program.context(), folder, "kk");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), i18n::t("no_window", "kk") + "\n");
    EXPECT_TRUE(fs::exists(old));
}

}  // namespace
