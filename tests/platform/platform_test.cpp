// The POSIX half of the platform layer and the staged file writer.
#include <gtest/gtest.h>
#include <fstream>
#include <map>
#include <sys/stat.h>

#include "platform/platform.hpp"
#include "platform/staged_file.hpp"
#include "support/env.hpp"
#include "support/temp_dir.hpp"

namespace fs = std::filesystem;

TEST(Platform, UiLanguageFollowsTheFirstSetLocaleVariable) {
    struct Case {
        const char* language;
        const char* lang;
        std::optional<std::uint16_t> id;
    };
    const Case cases[] = {
        {"kk_KZ:ru", "en_US.UTF-8", 0x043F},
        {"", "ru_RU.UTF-8", 0x0419},
        {nullptr, "kk_KZ.UTF-8", 0x043F},
        {nullptr, "de_DE.UTF-8", 0x0409},
        {nullptr, "C", 0x0409},
        {nullptr, nullptr, std::nullopt},
    };
    fixtures::EnvVar language("LANGUAGE"), all("LC_ALL", nullptr), messages("LC_MESSAGES", nullptr), lang("LANG");
    for (const auto& c : cases) {
        language.set(c.language);
        lang.set(c.lang);
        EXPECT_EQ(platform::ui_language_id(), c.id)
            << "LANGUAGE=" << (c.language ? c.language : "(unset)") << " LANG=" << (c.lang ? c.lang : "(unset)");
    }
}

// Reference digests from FIPS 180-2; the long input crosses any internal block and
// chunk boundary the implementation might have.
TEST(Platform, Sha256MatchesTheReferenceDigests) {
    struct Case {
        std::string input;
        const char* hex;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        std::string hex;
        for (std::uint8_t byte : platform::sha256(c.input)) {
            constexpr const char* digits = "0123456789abcdef";
            hex += digits[byte >> 4];
            hex += digits[byte & 0x0F];
        }
        EXPECT_EQ(hex, c.hex) << c.input.size() << " bytes";
    }
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

TEST(StagedFile, CommitReplacesWholeAndLeavesNoTemporary) {
    fixtures::TempDir tmp;
    fs::path target = tmp / "waybill_history.csv";
    fixtures::write_bytes(target, "old content that is longer");
    platform::write_file_atomically(target, "new");
    EXPECT_EQ(fixtures::read_bytes(target), "new");
    EXPECT_FALSE(fs::exists(tmp / "waybill_history.tmp"));
}

TEST(StagedFile, AbandonedWriteKeepsTheOldFile) {
    fixtures::TempDir tmp;
    fs::path target = tmp / "settings.json";
    fixtures::write_bytes(target, "{}");
    {
        platform::StagedFile f(target);
        f.write("half of a new fi");
        EXPECT_TRUE(fs::exists(tmp / "settings.tmp"));
    }
    EXPECT_EQ(fixtures::read_bytes(target), "{}");
    EXPECT_FALSE(fs::exists(tmp / "settings.tmp"));
}

TEST(StagedFile, FailedRenameKeepsTheTargetAndRemovesTheTemporary) {
    fixtures::TempDir tmp;
    fs::path target = tmp / "out.csv";
    fs::create_directories(target / "child");  // a non-empty folder cannot be replaced by a file
    EXPECT_THROW(platform::write_file_atomically(target, "x"), fs::filesystem_error);
    EXPECT_TRUE(fs::is_directory(target / "child"));
    EXPECT_FALSE(fs::exists(tmp / "out.tmp"));
}

TEST(StagedFile, UnwritableFolderFailsAtOpen) {
    fixtures::TempDir tmp;
    EXPECT_THROW(platform::StagedFile(tmp / "missing" / "x.csv"), fs::filesystem_error);
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
