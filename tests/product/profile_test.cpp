// The product profile's check, the build-mode folders and the program's context.
#include "product/profile.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "job/job.hpp"
#include "platform/platform.hpp"
#include "product/buildmode.hpp"
#include "product/context.hpp"
#include "support/child.hpp"
#include "support/env.hpp"
#include "support/job_fixture.hpp"
#include "support/temp_dir.hpp"

namespace fs = std::filesystem;
using namespace product;

namespace {

// A shipped program's folder: an executable file in a folder outside the build tree.
struct FakeInstall {
    fixtures::TempDir dir;
    fs::path program = dir / "Apps Merge";
    fs::path exe = program / "Mergalo";
    explicit FakeInstall(bool with_lib) {
        fs::create_directories(program);
        fixtures::write_bytes(exe, "");
        if (with_lib) fs::create_directories(program / "mgl");
    }
};

}  // namespace

TEST(Profile, CheckReportsMissingRequiredFieldsInOrder) {
    product::ProductProfile p = product::profile();
    p.TITLE.reset();
    p.ICON_NAME.reset();
    try {
        (void)product::make_context(p, "/opt/Mergalo/Mergalo");
        FAIL() << "a context was made from an incomplete profile";
    } catch (const ProfileIncomplete& e) {
        EXPECT_STREQ(e.what(), "в профиле продукта нет полей: TITLE, ICON_NAME");
    }
}

TEST(Profile, ExeNameFallsBackToTheTitle) {
    product::ProductProfile p = product::profile();
    EXPECT_EQ(exe_name(p), "Mergalo");
    p.EXE_NAME = "";
    EXPECT_EQ(exe_name(p), "Tarvo PDF Mergalo");
    p.EXE_NAME.reset();
    p.USER_FOLDER.reset();
    EXPECT_NO_THROW(check_profile(p)) << "optional fields may be missing";
    EXPECT_EQ(exe_name(p), "Tarvo PDF Mergalo");
}

TEST(Buildmode, TestBinaryInTheBuildTreeIsADevelopmentRun) {
    const product::ProductProfile p = product::profile();
    const fs::path exe = platform::executable_path();
    EXPECT_FALSE(buildmode::is_bundled(exe));
    EXPECT_EQ(buildmode::program_dir(p, exe), *p.ROOT);
    EXPECT_EQ(buildmode::bundle_dir(p, exe), *p.ROOT);
    EXPECT_FALSE(buildmode::library_dir(p, exe).has_value());
}

TEST(Context, OfAShippedFolderWithLibraryFolder) {
    FakeInstall install(/*with_lib=*/true);
    fixtures::TempDir tmp;
    fixtures::EnvVar local("LOCALAPPDATA"), temp("TMPDIR");
    local.set((tmp / "local").c_str());
    fs::create_directories(tmp / "t");
    temp.set((tmp / "t").c_str());
    const product::Context ctx = product::make_context(product::profile(), install.exe);
    EXPECT_TRUE(ctx.bundled);
    EXPECT_EQ(ctx.library_dir, install.program / "mgl");
    EXPECT_EQ(ctx.bundle_dir, install.program / "mgl");
    EXPECT_EQ(ctx.history_dir, install.program);
    EXPECT_EQ(ctx.log.folder, install.program / "logs");
    EXPECT_EQ(ctx.log.app, std::string("Tarvo PDF Mergalo ") + MERGALO_VERSION);
    EXPECT_EQ(ctx.data_dir, tmp / "local" / "Tarvo PDF Mergalo");
    EXPECT_EQ(ctx.icon_file(), install.program / "mgl" / "assets" / "mergalo.ico");
    EXPECT_EQ(ctx.job_environment().history_dir, install.program);
    EXPECT_EQ(ctx.job_environment().temp_root, tmp / "t");
    EXPECT_FALSE(fs::exists(install.program / "logs")) << "making the context creates nothing";
    EXPECT_FALSE(fs::exists(ctx.data_dir));
}

TEST(Buildmode, ShippedFolderWithoutLibraryFolderLeavesToolkitVariables) {
    FakeInstall install(/*with_lib=*/false);
    const product::ProductProfile p = product::profile();
    fixtures::EnvVar tcl("TCL_LIBRARY"), tk("TK_LIBRARY");
    tcl.set("/before/tcl");
    tk.set(nullptr);
    EXPECT_FALSE(buildmode::library_dir(p, install.exe).has_value());
    EXPECT_EQ(buildmode::bundle_dir(p, install.exe), install.program);
    EXPECT_EQ(buildmode::home_dir(p, install.exe), install.program);
    buildmode::point_tcl_and_tk_to_library(buildmode::library_dir(p, install.exe));
    EXPECT_EQ(platform::get_env("TCL_LIBRARY"), "/before/tcl");
    EXPECT_FALSE(platform::get_env("TK_LIBRARY").has_value());
}

TEST(Buildmode, OnlyExistingToolkitFoldersAreSetAndLibraryFolderIsAddedOnce) {
    FakeInstall install(/*with_lib=*/true);
    fs::create_directories(install.program / "mgl" / "tcl");
    const auto lib = buildmode::library_dir(product::profile(), install.exe);
    fixtures::EnvVar tcl("TCL_LIBRARY"), tk("TK_LIBRARY");
    tk.set("/before/tk");
    buildmode::point_tcl_and_tk_to_library(lib);
    EXPECT_EQ(platform::get_env("TCL_LIBRARY"), (install.program / "mgl" / "tcl").string());
    EXPECT_EQ(platform::get_env("TK_LIBRARY"), "/before/tk");

    buildmode::add_library_folder_to_path(lib);
    buildmode::add_library_folder_to_path(lib);
    auto dirs = platform::library_search_dirs();
    EXPECT_EQ(std::count(dirs.begin(), dirs.end(), install.program / "mgl"), 1);
    EXPECT_EQ(dirs.front(), install.program / "mgl");
}

TEST(Buildmode, UserFolderLivesUnderLocalAppData) {
    product::ProductProfile p = product::profile();
    p.USER_FOLDER = "Mergalo User";
    FakeInstall install(/*with_lib=*/true);
    fixtures::EnvVar local("LOCALAPPDATA"), roaming("APPDATA");
    local.set("");
    roaming.set("/roaming");
    EXPECT_EQ(buildmode::home_dir(p, install.exe), fs::path("/roaming/Mergalo User"));
    local.set("/local");
    EXPECT_EQ(buildmode::home_dir(p, install.exe), fs::path("/local/Mergalo User"));
}

TEST(Context, DataDirUnderLocalAppDataAndBlankFallsBack) {
    fixtures::TempDir tmp;
    fixtures::EnvVar local("LOCALAPPDATA"), xdg("XDG_DATA_HOME");
    local.set((tmp / "local").c_str());
    EXPECT_EQ(product::make_context(product::profile(), "/opt/M/Mergalo").data_dir,
              tmp / "local" / "Tarvo PDF Mergalo");
    local.set("   ");
    xdg.set((tmp / "xdg").c_str());
    EXPECT_EQ(product::make_context(product::profile(), "/opt/M/Mergalo").data_dir, tmp / "xdg" / "Tarvo PDF Mergalo");
}

// A portable folder an administrator unpacked and a user runs: the history and the logs
// go to the user's own folder, the first result says so and later ones do not, and a
// merge works. A folder of the user's keeps them beside the program, and finding that
// out leaves nothing there.
TEST(Context, AProgramFolderTheUserCannotWriteKeepsTheHistoryInTheUsersFolder) {
    FakeInstall install(/*with_lib=*/true);
    const fs::path local = install.dir / "local", tmp = install.dir / "tmp", orders = install.dir / "Заказы";
    for (const fs::path& p : {local, tmp, orders}) fs::create_directories(p);
    const fs::path zip = orders / "orders.zip";
    fixtures::write_zip(zip, fixtures::waybills("W", 2));
    fixtures::EnvVar local_var("LOCALAPPDATA", local.c_str()), tmp_var("TMPDIR", tmp.c_str());
    {
        const Context own = make_context(profile(), install.exe);
        EXPECT_EQ(own.history_dir, install.program);
        EXPECT_FALSE(own.tell_history_place);
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(install.program)) names.insert(e.path().filename().string());
        EXPECT_EQ(names, (std::set<std::string>{"Mergalo", "mgl"}));
    }
    for (const fs::path& p : {install.dir.path(), local, tmp, orders})
        fs::permissions(p, fs::perms::all, fs::perm_options::add);
    fs::permissions(install.program, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    const std::string seen = fixtures::run_in_child([&] {
        // A temporary folder private to its owner keeps another user out altogether.
        if (!fixtures::drop_root() || ::access(zip.c_str(), R_OK) != 0) return std::string("skip");
        std::string out;
        for (int run = 0; run < 2; ++run) {
            const Context ctx = make_context(profile(), install.exe);
            out += platform::utf8(ctx.history_dir) + (ctx.tell_history_place ? " tell " : " quiet ");
            out += std::to_string(job::process_zip(zip, 4, ctx.job_environment()).file_count_new) + "\n";
        }
        return out;
    });
    fs::permissions(install.program, fs::perms::owner_all, fs::perm_options::add);
    if (seen == "skip") GTEST_SKIP() << "cannot run as an unprivileged user";
    const std::string users = platform::utf8(local / "mergalo");
    EXPECT_EQ(seen, users + " tell 2\n" + users + " quiet 0\n");
    EXPECT_TRUE(fs::exists(local / "mergalo" / "waybill_history.csv"));
    EXPECT_FALSE(fs::exists(install.program / "waybill_history.csv"));
}
