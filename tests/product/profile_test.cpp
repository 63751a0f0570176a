// Product profile binding, build-mode folders and the main program's folders.
#include <gtest/gtest.h>

#include "product/buildmode.hpp"
#include "product/folders.hpp"
#include "product/profile.hpp"
#include "platform/platform.hpp"
#include "support/env.hpp"
#include "support/temp_dir.hpp"

namespace fs = std::filesystem;
using namespace app;

namespace {


// A shipped program's folder: an executable file in a folder outside the build tree.
struct FakeInstall {
    fixtures::TempDir dir;
    fs::path program = dir / "Apps Merge";
    explicit FakeInstall(bool with_lib) {
        fs::create_directories(program);
        fixtures::write_bytes(program / "Mergalo", "");
        if (with_lib) fs::create_directories(program / "mgl");
        buildmode::detail::pretend_executable(program / "Mergalo");
    }
    ~FakeInstall() { buildmode::detail::pretend_executable({}); }
};

}  // namespace

TEST(Profile, BindReportsMissingRequiredFieldsInOrder) {
    ProductProfile p = product::profile();
    p.TITLE.reset();
    p.ICON_NAME.reset();
    buildmode::APP_VERSION = "0.00";
    try {
        profile::bind(p);
        FAIL() << "bind accepted an incomplete profile";
    } catch (const profile::ProfileIncomplete& e) {
        EXPECT_STREQ(e.what(), "в профиле продукта нет полей: TITLE, ICON_NAME");
    }
    EXPECT_EQ(buildmode::APP_VERSION, "0.00") << "a failed bind must not touch the build-mode settings";
}

TEST(Profile, AccessorsBeforeBindFailThenAnswerFromTheBoundProfile) {
    // This test binary binds only in this and later tests; gtest runs tests of one
    // file in order, and the failing bind above stored nothing.
    if (!profile::is_bound()) {
        try {
            (void)profile::title();
            FAIL() << "title() answered before bind";
        } catch (const profile::ProfileNotBound& e) {
            EXPECT_STREQ(e.what(), "продукт не объявил себя: нужен profile.bind(product) при старте");
        }
    }
    ProductProfile p = product::profile();
    p.EXE_NAME.reset();
    p.USER_FOLDER.reset();
    profile::bind(p);  // optional fields may be missing
    EXPECT_TRUE(profile::is_bound());
    EXPECT_EQ(profile::exe_name(), "Tarvo PDF Mergalo");
    p.EXE_NAME = "";
    profile::bind(p);
    EXPECT_EQ(profile::exe_name(), "Tarvo PDF Mergalo");
    profile::bind(product::profile());
    EXPECT_EQ(profile::exe_name(), "Mergalo");
    EXPECT_EQ(profile::code(), "mergalo");
    EXPECT_EQ(profile::app_version(), "2.0.0.32");
    EXPECT_EQ(buildmode::APP_VERSION, "2.0.0.32");
    EXPECT_EQ(buildmode::LIB_FOLDER, "mgl");
    EXPECT_FALSE(profile::user_folder().has_value());
}

TEST(Buildmode, TestBinaryInTheBuildTreeIsADevelopmentRun) {
    profile::bind(product::profile());
    EXPECT_FALSE(buildmode::is_bundled());
    EXPECT_EQ(buildmode::program_dir(), profile::root());
    EXPECT_EQ(buildmode::bundle_dir(), profile::root());
    EXPECT_FALSE(buildmode::library_dir().has_value());
}

TEST(Buildmode, ShippedFolderWithLibraryFolder) {
    profile::bind(product::profile());
    FakeInstall install(/*with_lib=*/true);
    EXPECT_TRUE(buildmode::is_bundled());
    EXPECT_EQ(buildmode::program_dir(), install.program);
    EXPECT_EQ(buildmode::library_dir(), install.program / "mgl");
    EXPECT_EQ(buildmode::bundle_dir(), install.program / "mgl");
    EXPECT_EQ(buildmode::home_dir(), install.program);
    EXPECT_EQ(app_dir(), install.program);
    EXPECT_EQ(logs_dir(), install.program / "logs");
    EXPECT_TRUE(fs::is_directory(install.program / "logs"));
}

TEST(Buildmode, ShippedFolderWithoutLibraryFolderLeavesToolkitVariables) {
    profile::bind(product::profile());
    FakeInstall install(/*with_lib=*/false);
    fixtures::EnvVar tcl("TCL_LIBRARY"), tk("TK_LIBRARY");
    tcl.set("/before/tcl");
    tk.set(nullptr);
    EXPECT_FALSE(buildmode::library_dir().has_value());
    EXPECT_EQ(buildmode::bundle_dir(), install.program);
    EXPECT_EQ(buildmode::home_dir(), install.program);
    EXPECT_FALSE(buildmode::point_tcl_and_tk_to_library().has_value());
    EXPECT_FALSE(buildmode::add_library_folder_to_path().has_value());
    EXPECT_EQ(platform::get_env("TCL_LIBRARY"), "/before/tcl");
    EXPECT_FALSE(platform::get_env("TK_LIBRARY").has_value());
}

TEST(Buildmode, OnlyExistingToolkitFoldersAreSetAndLibraryFolderIsAddedOnce) {
    profile::bind(product::profile());
    FakeInstall install(/*with_lib=*/true);
    fs::create_directories(install.program / "mgl" / "tcl");
    fixtures::EnvVar tcl("TCL_LIBRARY"), tk("TK_LIBRARY");
    tk.set("/before/tk");
    EXPECT_EQ(buildmode::point_tcl_and_tk_to_library(), install.program / "mgl");
    EXPECT_EQ(platform::get_env("TCL_LIBRARY"), (install.program / "mgl" / "tcl").string());
    EXPECT_EQ(platform::get_env("TK_LIBRARY"), "/before/tk");

    buildmode::add_library_folder_to_path();
    buildmode::add_library_folder_to_path();
    auto dirs = platform::library_search_dirs();
    EXPECT_EQ(std::count(dirs.begin(), dirs.end(), install.program / "mgl"), 1);
    EXPECT_EQ(dirs.front(), install.program / "mgl");
}

TEST(Buildmode, UserFolderLivesUnderLocalAppData) {
    ProductProfile p = product::profile();
    p.USER_FOLDER = "Mergalo User";
    profile::bind(p);
    FakeInstall install(/*with_lib=*/true);
    fixtures::EnvVar local("LOCALAPPDATA"), roaming("APPDATA");
    local.set("");
    roaming.set("/roaming");
    EXPECT_EQ(buildmode::home_dir(), fs::path("/roaming/Mergalo User"));
    local.set("/local");
    EXPECT_EQ(buildmode::home_dir(), fs::path("/local/Mergalo User"));
    profile::bind(product::profile());
}

TEST(Folders, DataDirIsCreatedUnderLocalAppDataAndBlankFallsBack) {
    fixtures::TempDir tmp;
    fixtures::EnvVar local("LOCALAPPDATA"), xdg("XDG_DATA_HOME");
    local.set((tmp / "local").c_str());
    fs::path expected = tmp / "local" / "Tarvo PDF Mergalo";
    EXPECT_EQ(data_dir(), expected);
    EXPECT_TRUE(fs::is_directory(expected));
    EXPECT_EQ(data_dir(), expected) << "an existing folder is not an error";

    local.set("   ");
    xdg.set((tmp / "xdg").c_str());
    EXPECT_EQ(data_dir(), tmp / "xdg" / "Tarvo PDF Mergalo");
    EXPECT_TRUE(fs::is_directory(tmp / "xdg" / "Tarvo PDF Mergalo"));
}

TEST(Folders, DataDirBlockedByAFileFails) {
    fixtures::TempDir tmp;
    fixtures::EnvVar local("LOCALAPPDATA");
    local.set(tmp.path().c_str());
    fixtures::write_bytes(tmp / "Tarvo PDF Mergalo", "not a folder");
    EXPECT_THROW(data_dir(), fs::filesystem_error);
}
