// Old output sheets: the age edge to the second, the name and type tests, the order, and
// the text that lists them.
#include "job/old_sheets.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
namespace chr = std::chrono;
using fixtures::write_bytes;

constexpr std::string_view TITLE = "Tarvo PDF Mergalo";

class OldSheets : public ::testing::Test {
protected:
    fixtures::TempDir dir;
    // A moment in whole seconds, and the same moment as local time.
    const chr::sys_seconds base = chr::floor<chr::seconds>(chr::system_clock::now()) - chr::days{10};
    const history::LocalTime base_local = *history::detail::utc_to_local(base);

    // A file (or folder) last modified at `base` minus `age`.
    fs::path make(const std::string& name, chr::seconds age, bool folder = false) {
        const fs::path p = dir / name;
        if (folder)
            fs::create_directories(p);
        else
            write_bytes(p, "%PDF-1.7\n");
        fs::last_write_time(p, chr::file_clock::from_sys(base - age));
        return p;
    }

    std::vector<std::string> names(const std::vector<fs::path>& paths) const {
        std::vector<std::string> out;
        for (const auto& p : paths) out.push_back(platform::utf8(p.filename()));
        return out;
    }
};

TEST_F(OldSheets, StrictlyOlderThanThreeDaysToTheSecond) {
    make("a_Tarvo PDF Mergalo_MERGED.pdf", chr::seconds{0});
    const auto edge = base_local + chr::days{3};
    EXPECT_TRUE(job::old_sheets(dir.path(), TITLE, edge).empty()) << "exactly three days old is not old";
    EXPECT_EQ(job::old_sheets(dir.path(), TITLE, edge + chr::seconds{1}).size(), 1u);
    EXPECT_TRUE(job::old_sheets(dir.path(), TITLE, edge - chr::seconds{1}).empty());
}

TEST_F(OldSheets, OnlyTheProgramsOwnSheetsDirectlyInTheFolder) {
    const auto old = chr::hours{24 * 4};
    make("orders_Tarvo PDF Mergalo_MERGED_4up.pdf", old);
    make("orders_Tarvo PDF Mergalo_NEW_MERGED_4up.pdf", old);
    make("orders_Tarvo PDF Mergalo_MERGED (1).PDF", old);         // capital extension counts
    make("today_Tarvo PDF Mergalo_MERGED.pdf", chr::seconds{0});  // too young
    make("orders_Tarvo PDF Mergalo_merged.pdf", old);             // marker in lower case
    make("orders_tarvo pdf mergalo_MERGED.pdf", old);             // title in lower case
    make("orders_MERGED.pdf", old);                               // no title marker
    make("ordersTarvo PDF Mergalo_MERGED.pdf", old);              // no underscore before the title
    make("orders_Tarvo PDF Mergalo_MERGED.zip", old);
    make("orders.zip", old);
    make("ZAKAZ_1234567.pdf", old);
    make("orders_Tarvo PDF Mergalo_MERGED_9up.pdf.bak", old);
    make("folder_Tarvo PDF Mergalo_MERGED.pdf", old, true);  // a folder named like a sheet
    fs::create_directories(dir / "sub");
    make("sub/inner_Tarvo PDF Mergalo_MERGED.pdf", old);  // sheets in sub-folders stay
    const auto found = job::old_sheets(dir.path(), TITLE, base_local);
    EXPECT_EQ(names(found), (std::vector<std::string>{"orders_Tarvo PDF Mergalo_MERGED (1).PDF",
                                                      "orders_Tarvo PDF Mergalo_MERGED_4up.pdf",
                                                      "orders_Tarvo PDF Mergalo_NEW_MERGED_4up.pdf"}));
    for (const auto& p : found) EXPECT_EQ(p.parent_path(), dir.path());
}

TEST_F(OldSheets, SortedByCaseFoldedName) {
    const auto old = chr::hours{24 * 5};
    for (const char* name :
         {"b_Tarvo PDF Mergalo_MERGED.pdf", "Заказы_Tarvo PDF Mergalo_MERGED.pdf", "A_Tarvo PDF Mergalo_MERGED.pdf",
          "заказ_Tarvo PDF Mergalo_MERGED.pdf", "C_Tarvo PDF Mergalo_MERGED.pdf"})
        make(name, old);
    EXPECT_EQ(names(job::old_sheets(dir.path(), TITLE, base_local)),
              (std::vector<std::string>{"A_Tarvo PDF Mergalo_MERGED.pdf", "b_Tarvo PDF Mergalo_MERGED.pdf",
                                        "C_Tarvo PDF Mergalo_MERGED.pdf", "заказ_Tarvo PDF Mergalo_MERGED.pdf",
                                        "Заказы_Tarvo PDF Mergalo_MERGED.pdf"}));
}

TEST_F(OldSheets, AFolderThatCannotBeListedHasNone) {
    EXPECT_TRUE(job::old_sheets(dir / "missing", TITLE, base_local).empty());
    write_bytes(dir / "file.pdf", "x");
    EXPECT_TRUE(job::old_sheets(dir / "file.pdf", TITLE, base_local).empty());
}

TEST(DescribeOldSheets, FiveNamesThenHowManyMore) {
    std::vector<fs::path> paths;
    for (char i = '1'; i <= '7'; ++i) paths.push_back(fs::path("/out") / (std::string(1, 'd') + i + "_MERGED.pdf"));
    EXPECT_EQ(job::describe_old_sheets(paths, "ru"),
              "d1_MERGED.pdf\nd2_MERGED.pdf\nd3_MERGED.pdf\nd4_MERGED.pdf\nd5_MERGED.pdf\nи ещё 2");
    EXPECT_EQ(job::describe_old_sheets(paths, "kk", 6),
              "d1_MERGED.pdf\nd2_MERGED.pdf\nd3_MERGED.pdf\nd4_MERGED.pdf\nd5_MERGED.pdf\nd6_MERGED.pdf\nжәне тағы 1");
    paths.resize(5);
    EXPECT_EQ(job::describe_old_sheets(paths, "ru"),
              "d1_MERGED.pdf\nd2_MERGED.pdf\nd3_MERGED.pdf\nd4_MERGED.pdf\nd5_MERGED.pdf");
    paths.resize(1);
    EXPECT_EQ(job::describe_old_sheets(paths, "kk"), "d1_MERGED.pdf");
}

}  // namespace
