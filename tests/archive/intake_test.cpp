#include "archive/intake.hpp"

#include <gtest/gtest.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "diag/errors.hpp"
#include "i18n/messages.hpp"
#include "platform/platform.hpp"
#include "support/temp_dir.hpp"
#include "support/zip_fixtures.hpp"

namespace {

namespace fs = std::filesystem;

using platform::utf8;

// ---------------------------------------------------------------------------
// Names

TEST(SanitizeMemberPath, KeepsEveryPathInsideTheScratchFolder) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"x.pdf", "x.pdf"},
        {"../x.pdf", "x.pdf"},
        {"../../etc/passwd", "etc/passwd"},
        {"a/../../b.pdf", "a/b.pdf"},
        {"/abs/y.pdf", "abs/y.pdf"},
        {"\\\\server\\share\\a.pdf", "server/share/a.pdf"},
        {"C:\\tmp\\z.pdf", "tmp/z.pdf"},
        {"c:z.pdf", "z.pdf"},
        {"a\\b\\c.pdf", "a/b/c.pdf"},
        {"a/./b//c.pdf", "a/b/c.pdf"},
        {"ab:c<d>|\"?*.pdf", "ab_c_d_____.pdf"},
        {"dir/a:b", "dir/a_b"},
        {"tab\there\x01.pdf", "tab_here_.pdf"},
        {"name. . ./f.pdf. ", "name/f.pdf"},
        {"dir /f.pdf ", "dir/f.pdf"},
        {" lead.pdf", " lead.pdf"},
        {"...", ""},
        {"..)x.pdf", "..)x.pdf"},
        {"../", ""},
        {"C:", ""},
        {"folder/", "folder"},
        {"Накладные/Заказ 1.pdf", "Накладные/Заказ 1.pdf"},
        {"CON.pdf", "_CON.pdf"},
        {"a/nul", "a/_nul"},
        {"lpt1 .txt", "_lpt1 .txt"},
        {"com10.pdf", "com10.pdf"},
        {"console.pdf", "console.pdf"},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(archive::detail::sanitize_member_path(in), want) << in;
}

// ---------------------------------------------------------------------------
// Unpacking and listing

class IntakeTest : public ::testing::Test {
protected:
    fixtures::TempDir dir;
    fs::path zip = dir / "in.zip";
    fs::path work = dir / "work";  // holds only the scratch folder: anything else there escaped
    fs::path scratch = work / "mergalo_x";
    archive::Unpacked last;  // what extract() read last

    // The memory budgets of the two ways a waybill is kept.
    static constexpr std::uint64_t TO_FILES = 0;
    static constexpr std::uint64_t IN_MEMORY = archive::MEMORY_BUDGET_BYTES;

    void SetUp() override { fs::create_directories(work); }

    // The scratch folder as a job gives it: made (here at `scratch`) on first use.
    archive::ScratchPlace place() {
        return {work, platform::native_length(scratch), [this] {
                    fs::create_directories(scratch);
                    return scratch;
                }};
    }

    // The archive read as a job reads it, under `conditions` (a disk with room to spare
    // unless they say otherwise).
    archive::Unpacked unpack(archive::detail::Conditions conditions) {
        return archive::detail::unpack_waybills(zip, place(), conditions);
    }
    archive::Unpacked unpack(std::uint64_t memory = TO_FILES, std::uint16_t code_page = 437) {
        return unpack({.free_bytes = std::uint64_t{1} << 40, .code_page = code_page, .memory_bytes = memory});
    }

    // The waybills' files, every waybill written to one; they stay until the next call.
    std::vector<fs::path> extract() {
        last = {};  // its files go before new ones may take their names
        last = unpack(TO_FILES);
        std::vector<fs::path> out;
        for (const archive::Waybill& w : last.waybills) out.push_back(w.path);
        return out;
    }

    // The bytes of a waybill, from memory or from its file.
    static std::string bytes_of(const archive::Waybill& w) {
        if (w.bytes != nullptr) return *w.bytes;
        std::string read(static_cast<std::size_t>(w.file->reader().size()), '\0');
        std::error_code ec;
        read.resize(w.file->reader().read_at(0, read, ec));
        return read;
    }

    // The listed paths relative to the scratch folder, as UTF-8.
    std::vector<std::string> listed() {
        std::vector<std::string> out;
        for (const fs::path& p : extract()) {
            EXPECT_TRUE(p.is_absolute()) << p;
            out.push_back(utf8(p.lexically_relative(scratch)));
        }
        return out;
    }

    // Everything under `root`, relative, "/" after folders.
    static std::set<std::string> tree(const fs::path& root) {
        std::set<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(root))
            out.insert(utf8(e.path().lexically_relative(root)) + (e.is_directory() ? "/" : ""));
        return out;
    }

    void expect_nothing_escaped() {
        for (const auto& e : fs::directory_iterator(work)) EXPECT_EQ(e.path(), scratch);
        for (const auto& e : fs::directory_iterator(dir.path()))
            EXPECT_TRUE(e.path() == zip || e.path() == work) << e.path();
    }
};

TEST_F(IntakeTest, ListsOnlyPdfFilesSortedByFoldedName) {
    fixtures::write_zip(zip, {{"b.pdf", "B"},
                              {"c.PDF", "C"},
                              {"A.pdf", "A"},
                              {"notes.txt", "t"},
                              {"report.pdf.txt", "r"},
                              {"report", "r"},
                              {".pdf", "hidden"},
                              {"A.B.PDF", "AB"},
                              {"photo.pdfx", "p"}});
    EXPECT_EQ(listed(), (std::vector<std::string>{"A.B.PDF", "A.pdf", "b.pdf", "c.PDF"}));
    // Only the PDFs are kept; the other members are read to check them, and dropped.
    EXPECT_EQ(tree(scratch), (std::set<std::string>{"b.pdf", "c.PDF", "A.pdf", "A.B.PDF"}));
    EXPECT_EQ(fixtures::read_bytes(scratch / "c.PDF"), "C");
}

// A waybill written to a file stays open in the result: it is read back through its
// own, and all of them go with the result; only the folders stay until the scratch
// folder goes.
TEST_F(IntakeTest, UnpackedPdfsAreReadThroughTheResultAndGoWithIt) {
    fixtures::write_zip(zip, {{"b.pdf", "second"}, {"scans/a.pdf", "first"}, {"notes.txt", "t"}, {"B.PDF", "repeat"}});
    {
        const archive::Unpacked unpacked = unpack(TO_FILES);
        ASSERT_EQ(unpacked.waybills.size(), 2u);
        for (const auto& [w, bytes] : {std::pair{&unpacked.waybills[0], "first"}, {&unpacked.waybills[1], "second"}}) {
            ASSERT_NE(w->file, nullptr) << w->name;
            EXPECT_EQ(w->file->path(), w->path);
            std::string read(16, '\0');
            std::error_code ec;
            read.resize(w->file->reader().read_at(0, read, ec));
            EXPECT_EQ(read, bytes) << ec.message();
        }
        EXPECT_EQ(unpacked.files.size(), 2u) << "the waybills; the repeat is only hashed";
        EXPECT_EQ(tree(scratch), (std::set<std::string>{"b.pdf", "scans/", "scans/a.pdf"}));
    }
    EXPECT_EQ(tree(scratch), (std::set<std::string>{"scans/"}));
}

TEST_F(IntakeTest, SortsByCodePointsOfTheCaseFoldedName) {
    fixtures::write_zip(
        zip,
        {{"st.pdf", ""}, {"ßb.pdf", ""}, {"2.pdf", ""}, {"sr.pdf", ""}, {"10.pdf", ""}, {"Я.pdf", ""}, {"а.pdf", ""}});
    // "ß" folds to "ss": between "sr" and "st". Cyrillic comes after Latin.
    EXPECT_EQ(listed(), (std::vector<std::string>{"10.pdf", "2.pdf", "sr.pdf", "ßb.pdf", "st.pdf", "а.pdf", "Я.pdf"}));
}

TEST_F(IntakeTest, EmptyArchiveAndArchiveWithoutPdfGiveEmptyLists) {
    // libzip writes no file for an archive without members: the bare end record.
    fixtures::write_bytes(zip, std::string("PK\5\6", 4) + std::string(18, '\0'));
    EXPECT_TRUE(extract().empty());
    fixtures::write_zip(zip, {{"photo.jpg", "jpeg"}, {"scans/", ""}});
    EXPECT_TRUE(extract().empty());
    EXPECT_FALSE(fs::exists(scratch)) << "no file needed one";
}

TEST_F(IntakeTest, DropsRepeatedWaybillsFirstInWalkOrderWins) {
    // The sub-folder copies come first in the archive; the walk order still decides.
    fixtures::write_zip(zip, {{"scans/ORDER 1.PDF", "sub"},
                              {"scans/Order \xEF\xBC\x91.pdf", "full-width"},
                              {"Order 1.pdf", "top"},
                              {" order 1.pdf", "leading blank"},
                              {"x/y/Deep.pdf", "deeper"},
                              {"x/deep.pdf", "shallower"}});
    std::map<std::string, std::string> kept;  // listed path -> content
    for (const auto& p : extract()) kept[utf8(p.lexically_relative(scratch))] = fixtures::read_bytes(p);
    ASSERT_EQ(kept.size(), 2u);
    // A folder's own files come before those of its sub-folders.
    EXPECT_EQ(kept["x/deep.pdf"], "shallower");
    // Both top-level spellings are the same waybill: the first in the archive wins,
    // never a copy from the sub-folder.
    EXPECT_EQ(kept["Order 1.pdf"], "top");
}

// Walk order without listing a folder: a folder's own files before its sub-folders,
// depth first, folders in the order the archive first names them.
TEST_F(IntakeTest, RepeatsAreDecidedInWalkOrderFollowingTheArchive) {
    fixtures::write_zip(zip, {{"b/c/Order.pdf", "in b/c"}, {"a/order.pdf", "in a"}, {"b/ORDER.pdf", "in b"}});
    const archive::Unpacked u = unpack(TO_FILES);
    ASSERT_EQ(u.waybills.size(), 1u);
    EXPECT_EQ(u.waybills[0].member_path, "b/ORDER.pdf");
    EXPECT_EQ(u.conflicting_duplicates, (std::vector<std::string>{"b/c/Order.pdf", "a/order.pdf"}));

    // Folders whose names differ only in letter case are one folder, as on Windows:
    // its own files come before its sub-folders' wherever the archive names them.
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    fixtures::write_zip(zip, {{"A/sub/order.pdf", "in A/sub"}, {"B/order.pdf", "in B"}, {"a/order.pdf", "in a"}});
    const archive::Unpacked folded = unpack(TO_FILES);
    ASSERT_EQ(folded.waybills.size(), 1u);
    EXPECT_EQ(folded.waybills[0].member_path, "a/order.pdf");
    EXPECT_EQ(folded.conflicting_duplicates, (std::vector<std::string>{"A/sub/order.pdf", "B/order.pdf"}));
}

// Names equal after case folding, with the same bytes: the first in the archive gives
// the waybill its name and its path, whichever way the archive orders them.
TEST_F(IntakeTest, OfTwoEqualWaybillsTheFirstInTheArchiveNamesIt) {
    struct Case {
        std::vector<fixtures::ZipMember> members;
        std::string name;
        std::string member_path;
    };
    const Case cases[] = {
        {{{"Straße.pdf", "same"}, {"STRASSE.pdf", "same"}}, "Straße.pdf", "Straße.pdf"},
        {{{"STRASSE.pdf", "same"}, {"Straße.pdf", "same"}}, "STRASSE.pdf", "STRASSE.pdf"},
        {{{"day/order.pdf", "same"}, {"day/ORDER.PDF", "same"}, {"day/Order.pdf", "same"}},
         "order.pdf",
         "day/order.pdf"},
        {{{"day/ORDER.PDF", "same"}, {"day/order.pdf", "same"}}, "ORDER.PDF", "day/ORDER.PDF"},
    };
    for (const Case& c : cases) {
        fs::remove_all(scratch);
        fs::create_directories(scratch);
        fixtures::write_zip(zip, c.members);
        const archive::Unpacked u = unpack(TO_FILES);
        ASSERT_EQ(u.waybills.size(), 1u) << c.name;
        EXPECT_EQ(u.waybills[0].name, c.name);
        EXPECT_EQ(u.waybills[0].member_path, c.member_path);
        EXPECT_EQ(fixtures::read_bytes(u.waybills[0].path), "same");
        EXPECT_TRUE(u.conflicting_duplicates.empty());
        // The digest taken while unpacking is the file's.
        std::string hex;
        for (const std::uint8_t b : platform::sha256("same"))
            hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
        EXPECT_EQ(u.waybills[0].sha256, hex);
    }
}

TEST_F(IntakeTest, HostileNamesStayInsideTheScratchFolder) {
    fixtures::write_zip(zip, {{"../x.pdf", "1"},
                              {"../../escape.pdf", "2"},
                              {"/abs.pdf", "3"},
                              {"C:\\win\\w.pdf", "4"},
                              {"a\\b\\c.pdf", "5"},
                              {"a/../../../d.pdf", "6"},
                              {"..", "7"}});
    // Sorted by the file's own name, not by its folder.
    EXPECT_EQ(listed(),
              (std::vector<std::string>{"abs.pdf", "a/b/c.pdf", "a/d.pdf", "escape.pdf", "win/w.pdf", "x.pdf"}));
    expect_nothing_escaped();
    EXPECT_EQ(fixtures::read_bytes(scratch / "x.pdf"), "1");
}

TEST_F(IntakeTest, FolderMembersOnlyNameFoldersMadeWhenAFileNeedsThem) {
    fixtures::write_zip(zip, {{"empty/", ""}, {"docs/", ""}, {"docs/a.pdf", "A"}, {"dots.pdf./", ""}});
    EXPECT_EQ(listed(), (std::vector<std::string>{"docs/a.pdf"}));
    EXPECT_EQ(tree(scratch), (std::set<std::string>{"docs/", "docs/a.pdf"}));
}

// A name is UTF-8 when the archive says so; otherwise it is in the OEM code page of the
// system that made the archive, taken to be the user's: Windows' own compressed folder
// on a Russian or Kazakh system writes CP866 without the flag.
TEST_F(IntakeTest, DecodesNamesByTheArchivesOwnStatementOrTheSystemsCodePage) {
    struct Case {
        const char* what;
        fixtures::ZipEntry entry;
        std::uint16_t code_page;
        std::string want;
    };
    const std::string utf8_e_acute = "\xC3\xA9.pdf";  // "é.pdf" in UTF-8
    // "Заказы/Накладная 4.pdf" in CP866.
    const std::string cp866 = "\x87\xa0\xaa\xa0\xa7\xeb/\x8d\xa0\xaa\xab\xa0\xa4\xad\xa0\xef 4.pdf";
    const std::vector<Case> cases = {
        {"UTF-8 with bit 11", {.name = "Заказ №1.pdf", .data = "x"}, 866, "Заказ №1.pdf"},
        {"CP437 without bit 11", {.name = "\x80\xA0.pdf", .data = "x", .utf8_flag = false}, 437, "Çá.pdf"},
        // Valid UTF-8 bytes without bit 11 are still CP437: C3 is "├", A9 is "⌐".
        {"UTF-8 bytes without bit 11", {.name = utf8_e_acute, .data = "x", .utf8_flag = false}, 437, "├⌐.pdf"},
        {"Unicode Path extra field",
         {.name = "\x80.pdf", .data = "x", .utf8_flag = false, .unicode_path = "Заказ.pdf"},
         866,
         "Заказ.pdf"},
        {"Unicode Path extra field with a wrong CRC",
         {.name = "\x80.pdf", .data = "x", .utf8_flag = false, .unicode_path = "Заказ.pdf", .unicode_path_crc = 1},
         437,
         "Ç.pdf"},
        {"CP866 without bit 11 on a Russian or Kazakh system",
         {.name = cp866, .data = "x", .utf8_flag = false},
         866,
         "Заказы/Накладная 4.pdf"},
        {"CP866 without bit 11 on another system",
         {.name = cp866, .data = "x", .utf8_flag = false},
         437,
         "çá¬áºδ/ìá¬½áñ¡á∩ 4.pdf"},
        {"ASCII without bit 11", {.name = "Order 7.pdf", .data = "x", .utf8_flag = false}, 866, "Order 7.pdf"},
        {"a code page of neither", {.name = "\x80.pdf", .data = "x", .utf8_flag = false}, 1251, "Ç.pdf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(scratch);
        fs::create_directories(scratch);
        fixtures::write_zip_entries(zip, {c.entry});
        const archive::Unpacked u = unpack(TO_FILES, c.code_page);
        ASSERT_EQ(u.waybills.size(), 1u);
        EXPECT_EQ(u.waybills[0].member_path, c.want);
        EXPECT_EQ(utf8(u.waybills[0].path.lexically_relative(scratch)), c.want);
        EXPECT_EQ(fixtures::read_bytes(u.waybills[0].path), "x");
    }
}

// The upper halves of both code pages, letter by letter, against ICU's converters,
// which follow IBM's tables; Windows, and so the archiver, reads CP437's E6 as the
// micro sign rather than IBM's Greek mu.
TEST(DecodeCodePage, GivesTheLetterOfEveryByteAsWindowsDoes) {
    for (const auto& [code_page, converter] :
         {std::pair<std::uint16_t, const char*>{437, "ibm-437"}, {866, "ibm-866"}}) {
        UErrorCode status = U_ZERO_ERROR;
        UConverter* cnv = ucnv_open(converter, &status);
        ASSERT_TRUE(U_SUCCESS(status)) << converter;
        for (int b = 0x80; b <= 0xFF; ++b) {
            const char byte = static_cast<char>(b);
            UChar letter[2];
            const int32_t n = ucnv_toUChars(cnv, letter, 2, &byte, 1, &status);
            ASSERT_TRUE(U_SUCCESS(status)) << converter;
            std::string want;
            icu::UnicodeString(letter, n).toUTF8String(want);
            if (code_page == 437 && b == 0xE6) want = "µ";
            EXPECT_EQ(archive::detail::decode_code_page(std::string(1, byte), code_page), want)
                << converter << " byte " << b;
        }
        ucnv_close(cnv);
    }
    EXPECT_EQ(archive::detail::decode_code_page("Order 7\x8d.pdf", 866), "Order 7Н.pdf") << "ASCII stays";
}

TEST_F(IntakeTest, SymbolicLinkMemberIsWrittenAsPlainFile) {
    fixtures::write_zip_entries(zip, {{.name = "link.pdf", .data = "/etc/passwd", .symlink = true}});
    EXPECT_EQ(listed(), std::vector<std::string>{"link.pdf"});
    EXPECT_FALSE(fs::is_symlink(scratch / "link.pdf"));
    EXPECT_EQ(fixtures::read_bytes(scratch / "link.pdf"), "/etc/passwd");
}

// Members that cannot all lie where the archive puts them: a file and a folder of one
// name, in either order (also a link member, written as a plain file, and a member
// below it). The later one is unpacked under a numbered name: no waybill is lost,
// nothing escapes, and no clash is reported as a fault of the disk. Members that are
// not PDFs are not written, but keep their names: the names do not depend on them.
TEST_F(IntakeTest, ClashingMembersAreAllUnpacked) {
    struct Case {
        const char* what;
        std::vector<fixtures::ZipEntry> entries;
        std::vector<std::pair<std::string, std::string>> waybills;  // path in the archive, content; in order
        std::set<std::string> tree;
    };
    const Case cases[] = {
        {"a file, then a folder of its name",
         {{.name = "d", .data = "file"}, {.name = "d/x.pdf", .data = "X"}},
         {{"d/x.pdf", "X"}},
         {"d~2/", "d~2/x.pdf"}},
        {"a folder, then a file of its name",
         {{.name = "d/x.pdf", .data = "X"}, {.name = "d", .data = "file"}},
         {{"d/x.pdf", "X"}},
         {"d/", "d/x.pdf"}},
        {"a link out of the folder, then a member below it",
         {{.name = "evil", .data = "..", .symlink = true}, {.name = "evil/planted.pdf", .data = "P"}},
         {{"evil/planted.pdf", "P"}},
         {"evil~2/", "evil~2/planted.pdf"}},
        {"a waybill, then a folder of its name in other letters",
         {{.name = "Order.pdf", .data = "O"}, {.name = "ORDER.PDF/inner.pdf", .data = "I"}},
         {{"ORDER.PDF/inner.pdf", "I"}, {"Order.pdf", "O"}},
         {"Order.pdf", "ORDER.PDF~2/", "ORDER.PDF~2/inner.pdf"}},
        {"a folder member, then a waybill of its name",
         {{.name = "a.pdf/", .data = ""}, {.name = "a.pdf", .data = "A"}},
         {{"a.pdf", "A"}},
         {"a~2.pdf"}},
        {"folders of one name in other letters are one folder",
         {{.name = "Scans/a.pdf", .data = "A"}, {.name = "scans/b.pdf", .data = "B"}, {.name = "SCANS", .data = "f"}},
         {{"Scans/a.pdf", "A"}, {"scans/b.pdf", "B"}},
         {"Scans/", "Scans/a.pdf", "Scans/b.pdf"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(scratch);
        fs::create_directories(scratch);
        fixtures::write_zip_entries(zip, c.entries);
        const archive::Unpacked u = unpack(TO_FILES);
        std::vector<std::pair<std::string, std::string>> waybills;
        for (const auto& w : u.waybills) waybills.emplace_back(w.member_path, fixtures::read_bytes(w.path));
        EXPECT_EQ(waybills, c.waybills);
        EXPECT_TRUE(u.conflicting_duplicates.empty());
        EXPECT_EQ(tree(scratch), c.tree);
        for (const auto& e : fs::recursive_directory_iterator(scratch)) EXPECT_FALSE(e.is_symlink()) << e.path();
        expect_nothing_escaped();
    }
}

// Every refusal names what is wrong; those found in the directory come before
// anything is written.
struct Refusal {
    const char* what;
    std::function<void(const fs::path& zip)> make;
    std::vector<std::string> message_parts;
    bool before_unpacking;
};

class IntakeRefusal : public IntakeTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(IntakeRefusal, FailsWithClearMessage) {
    const Refusal& r = GetParam();
    r.make(zip);
    try {
        extract();
        FAIL() << "no failure";
    } catch (const diag::RuntimeError& e) {
        const std::string text = i18n::message(e, "ru");
        for (const auto& part : r.message_parts) EXPECT_NE(text.find(part), std::string::npos) << text;
        // The same in Kazakh: every message of the intake comes from the catalogue.
        EXPECT_NE(i18n::message(e, "kk"), text);
    }
    if (r.before_unpacking) {
        EXPECT_FALSE(fs::exists(scratch));
    }
    expect_nothing_escaped();
}

const std::string big(100000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Archives, IntakeRefusal,
    ::testing::Values(
        Refusal{"NotZip",
                [](const fs::path& z) { fixtures::write_bytes(z, "just text, no archive"); },
                {"Архив повреждён или это не ZIP-файл", "in.zip"},
                true},
        Refusal{"EmptyFile",
                [](const fs::path& z) { fixtures::write_bytes(z, ""); },
                {"Архив повреждён или это не ZIP-файл"},
                true},
        Refusal{"TruncatedDirectory",
                [](const fs::path& z) {
                    fixtures::write_zip(z, {{"a.pdf", "A"}, {"b.pdf", "B"}});
                    std::string b = fixtures::read_bytes(z);
                    fixtures::write_bytes(z, b.substr(0, b.size() - 30));
                },
                {"Архив повреждён или это не ZIP-файл"},
                true},
        Refusal{"Encrypted",
                [](const fs::path& z) {
                    fixtures::write_zip_entries(
                        z, {{.name = "a.pdf", .data = "A"}, {.name = "Тайна.pdf", .data = "B", .encrypted = true}});
                },
                {"зашифрован", "«Тайна.pdf»"},
                true},
        Refusal{"BadCrc",
                [](const fs::path& z) {
                    fixtures::write_zip_entries(z, {{.name = "bad.pdf", .data = "some data", .deflate = false}});
                    fixtures::corrupt_data(z, 0);
                },
                {"контрольная сумма", "«bad.pdf»"},
                false},
        Refusal{"UnsupportedMethod",
                [](const fs::path& z) {
                    fixtures::write_zip_entries(
                        z, {{.name = "a.pdf", .data = "A"}, {.name = "odd.pdf", .data = "data", .deflate = false}});
                    fixtures::patch_method(z, 1, 19);
                },
                {"неподдерживаемым методом (19)", "«odd.pdf»"},
                true},
        Refusal{"MemberOverOneGiB",
                [](const fs::path& z) {
                    fixtures::write_zip(z, {{"a.pdf", "A"}, {"huge.pdf", big}});
                    fixtures::patch_declared_size(z, 1, (1u << 30) + 1);
                },
                {"слишком велик", "«huge.pdf»", "1025 МБ", "не больше 1024 МБ"},
                true},
        Refusal{"InflatesPastDeclaredSize",
                [](const fs::path& z) {
                    fixtures::write_zip(z, {{"bomb.pdf", big}});
                    fixtures::patch_declared_size(z, 0, 1000);
                },
                {"длиннее", "«bomb.pdf»"},
                false},
        Refusal{"ShorterThanDeclaredSize",
                [](const fs::path& z) {
                    fixtures::write_zip(z, {{"short.pdf", big}});
                    fixtures::patch_declared_size(z, 0, 200000);
                },
                {"«short.pdf»"},
                false}),
    [](const ::testing::TestParamInfo<Refusal>& p) { return std::string(p.param.what); });

TEST_F(IntakeTest, MemberStoppedAtItsDeclaredSize) {
    fixtures::write_zip(zip, {{"bomb.pdf", big}});
    fixtures::patch_declared_size(zip, 0, 1000);
    EXPECT_THROW(extract(), diag::RuntimeError);
    EXPECT_FALSE(fs::exists(scratch / "bomb.pdf")) << "nothing read is kept after a failure";
}

// Labels drawn as thousands of plain rectangles pack far: no ratio refuses them.
TEST_F(IntakeTest, AnArchiveThatUnpacksFarLargerThanItselfIsAccepted) {
    std::string bars;
    while (bars.size() < (std::size_t{40} << 20)) bars += "0 g 10 10 2 60 re f\n";
    fixtures::write_zip(zip, {{"labels.pdf", bars}, {"b.pdf", "B"}});
    ASSERT_LT(fs::file_size(zip) * 100, bars.size());
    EXPECT_EQ(listed(), (std::vector<std::string>{"b.pdf", "labels.pdf"}));
}

TEST_F(IntakeTest, RefusesArchiveLargerThanTheFreeSpace) {
    fixtures::write_zip(zip, {{"a.pdf", std::string(5000, 'a')}, {"b.pdf", std::string(5000, 'b')}});
    try {
        unpack({.free_bytes = 9000, .memory_bytes = TO_FILES});
        FAIL() << "no failure";
    } catch (const diag::RuntimeError& e) {
        EXPECT_NE(i18n::message(e, "ru").find("не хватает места"), std::string::npos) << e.what();
        EXPECT_NE(i18n::message(e, "ru").find("нужно 1 МБ, свободно 0 МБ"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(scratch));
    // Each member counts with a file-system block on top of its size.
    EXPECT_THROW(unpack({.free_bytes = 10000 + 4096, .memory_bytes = TO_FILES}), diag::RuntimeError);
    EXPECT_EQ(unpack({.free_bytes = 10000 + 2 * 4096, .memory_bytes = TO_FILES}).waybills.size(), 2u);
    // Only what goes to files counts: the one the budget holds takes no disk space.
    EXPECT_EQ(unpack({.free_bytes = 5000 + 4096, .memory_bytes = 5000}).waybills.size(), 2u);
    EXPECT_THROW(unpack({.free_bytes = 5000 + 4095, .memory_bytes = 5000}), diag::RuntimeError);
    // Nothing at all when the budget holds both.
    EXPECT_EQ(unpack({.free_bytes = 0, .memory_bytes = IN_MEMORY}).waybills.size(), 2u);
}

// More members than a job unpacks: refused before anything is written, by the count
// the end record declares (before the directory is read: the archive of a million
// empty members must not cost the memory of its directory), or, where the end record
// does not end the file, by the count libzip read.
TEST_F(IntakeTest, RefusesMoreMembersThanAJobUnpacks) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> spoil;  // the archive of three members
        std::uint64_t limit;
        std::string message;  // a part of it; none: unpacked
    };
    const auto as_written = [](const fs::path&) {};
    const Case cases[] = {
        {"as many members as the limit", as_written, 3, ""},
        {"one member more", as_written, 2, "много файлов и папок: 3, а программа распаковывает не больше 2"},
        {"bytes after the end record",
         [](const fs::path& z) { fixtures::write_bytes(z, fixtures::read_bytes(z) + "trailing bytes"); }, 2,
         "много файлов и папок: 3,"},
        {"an end record declaring more than the directory holds",
         [](const fs::path& z) { fixtures::patch_declared_count(z, 4); }, 3, "много файлов и папок: 4,"},
        {"a ZIP64 end record, as many members as the limit", [](const fs::path& z) { fixtures::end_as_zip64(z, 3); }, 3,
         ""},
        {"a ZIP64 end record declaring more than the program unpacks",
         [](const fs::path& z) { fixtures::end_as_zip64(z, 200000); }, archive::MAX_MEMBERS,
         "много файлов и папок: 200000, а программа распаковывает не больше 100000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(scratch);
        fixtures::write_zip(zip, {{"a.pdf", "A"}, {"b/", ""}, {"b/c.txt", "C"}});
        c.spoil(zip);
        const archive::detail::Conditions conditions{
            .free_bytes = std::uint64_t{1} << 40, .max_members = c.limit, .memory_bytes = TO_FILES};
        if (c.message.empty()) {
            EXPECT_EQ(unpack(conditions).waybills.size(), 1u);
            continue;
        }
        try {
            unpack(conditions);
            ADD_FAILURE() << "no failure";
        } catch (const diag::RuntimeError& e) {
            const std::string text = i18n::message(e, "ru");
            for (const std::string& part : {c.message, std::string("Размер архива — 1 МБ:\n"), utf8(zip)})
                EXPECT_NE(text.find(part), std::string::npos) << text;
            EXPECT_NE(i18n::message(e, "kk"), text);
        }
        EXPECT_FALSE(fs::exists(scratch));
    }
}

// ---------------------------------------------------------------------------
// Names too long for the file system, repeats with other content

TEST_F(IntakeTest, OverLongNamesUnpackUnderShortNamesAndKeepTheirOwn) {
    const std::string ascii = std::string(300, 'n') + ".pdf";  // one name over 255 bytes
    std::string cyrillic;                                      // 150 letters: 300 bytes
    for (int i = 0; i < 150; ++i) cyrillic += "ж";
    cyrillic += " Заказ.PDF";
    // Two long names that differ only at their end stay two files.
    const std::string twin_a = std::string(280, 't') + "_a.pdf";
    const std::string twin_b = std::string(280, 't') + "_b.pdf";
    // A path longer than the system allows as a whole, in folders of legal names.
    std::string deep;
    for (int i = 0; i < 20; ++i) deep += std::string(240, static_cast<char>('a' + i)) + "/";
    deep += "deep.pdf";
    fixtures::write_zip(
        zip, {{ascii, "A"}, {cyrillic, "C"}, {twin_a, "TA"}, {twin_b, "TB"}, {deep, "D"}, {"short.pdf", "S"}});

    const archive::Unpacked u = unpack(TO_FILES);
    std::map<std::string, std::string> content_by_name;
    for (const archive::Waybill& w : u.waybills) {
        EXPECT_LE(utf8(w.path).size(), 4095u) << w.name;
        for (const auto& part : w.path) EXPECT_LE(part.native().size(), 255u) << w.name;
        EXPECT_TRUE(utf8(w.path).starts_with(utf8(scratch))) << w.path;
        content_by_name[w.name] = fixtures::read_bytes(w.path);
    }
    EXPECT_EQ(
        content_by_name,
        (std::map<std::string, std::string>{
            {ascii, "A"}, {cyrillic, "C"}, {twin_a, "TA"}, {twin_b, "TB"}, {"deep.pdf", "D"}, {"short.pdf", "S"}}));
    // The order is the names' order, not the shortened files'.
    std::vector<std::string> names;
    for (const auto& w : u.waybills) names.push_back(w.name);
    EXPECT_EQ(names, (std::vector<std::string>{"deep.pdf", ascii, "short.pdf", twin_a, twin_b, cyrillic}));
    EXPECT_EQ(fixtures::read_bytes(scratch / "short.pdf"), "S") << "names that fit are kept as they are";
    expect_nothing_escaped();
}

TEST_F(IntakeTest, RepeatsWithOtherContentAreNamedAndIdenticalOnesAreNot) {
    fixtures::write_zip(zip, {{"Заказ 1.pdf", "first"},
                              {"копия/ЗАКАЗ 1.PDF", "other content"},
                              {"ещё/заказ 1.pdf", "first"},
                              {"b.pdf", "B"},
                              {"b/b.pdf", "B"}});
    const archive::Unpacked u = unpack(TO_FILES);
    ASSERT_EQ(u.waybills.size(), 2u);
    EXPECT_EQ(u.waybills[1].name, "Заказ 1.pdf") << "the top-level file wins";
    EXPECT_EQ(u.conflicting_duplicates, std::vector<std::string>{"копия/ЗАКАЗ 1.PDF"}) << "with its folder";
    EXPECT_EQ(u.waybills[1].member_path, "Заказ 1.pdf");
}

// Two members of one path: the first is the waybill, the second a repeat with other
// content, hashed to be named and never written over the first.
TEST_F(IntakeTest, TwoMembersOfOnePathNeverOverwriteEachOther) {
    // Both names become "x_.pdf" once made safe.
    fixtures::write_zip(zip, {{"x?.pdf", "question"}, {"x*.pdf", "star"}});
    const archive::Unpacked u = unpack(TO_FILES);
    ASSERT_EQ(u.waybills.size(), 1u);
    EXPECT_EQ(u.waybills[0].name, "x_.pdf");
    EXPECT_EQ(u.conflicting_duplicates, std::vector<std::string>{"x_.pdf"});
    std::set<std::string> contents;
    for (const auto& e : fs::directory_iterator(scratch)) contents.insert(fixtures::read_bytes(e.path()));
    EXPECT_EQ(contents, (std::set<std::string>{"question"}));
}

// ---------------------------------------------------------------------------
// Memory and files

// Held in memory or written to files, the archive gives the same waybills, in the same
// order, with the same bytes and digests; in memory, no scratch folder is made.
TEST_F(IntakeTest, MemoryAndFilesGiveTheSameWaybills) {
    const std::vector<std::vector<fixtures::ZipMember>> archives = {
        {{"b.pdf", "B"}, {"scans/a.pdf", "A"}, {"notes.txt", "t"}, {"B.PDF", "repeat"}, {"empty.pdf", ""}},
        {{"x?.pdf", "question"}, {"x*.pdf", "star"}, {"d", "file"}, {"d/x.pdf", "below a file"}},
        {{"day/", ""},
         {"day/Заказ 1.pdf", "first"},
         {"Заказ 1.PDF", "top"},
         {"day/sub/z.pdf", std::string(70000, 'z')}},
    };
    for (const auto& members : archives) {
        SCOPED_TRACE(members.front().name);
        fs::remove_all(scratch);
        fixtures::write_zip(zip, members);
        const archive::Unpacked held = unpack(IN_MEMORY);
        EXPECT_FALSE(fs::exists(scratch));
        EXPECT_TRUE(held.files.empty());
        const archive::Unpacked filed = unpack(TO_FILES);
        ASSERT_EQ(held.waybills.size(), filed.waybills.size());
        for (std::size_t i = 0; i < held.waybills.size(); ++i) {
            const archive::Waybill& h = held.waybills[i];
            const archive::Waybill& f = filed.waybills[i];
            ASSERT_TRUE(h.bytes != nullptr && h.file == nullptr) << h.name;
            ASSERT_TRUE(f.bytes == nullptr && f.file != nullptr) << f.name;
            EXPECT_EQ(std::tie(h.name, h.member_path, h.sha256), std::tie(f.name, f.member_path, f.sha256));
            EXPECT_EQ(bytes_of(h), bytes_of(f)) << h.name;
            EXPECT_EQ(h.path, platform::path_from_utf8(h.member_path));
        }
        EXPECT_EQ(held.conflicting_duplicates, filed.conflicting_duplicates);
    }
}

// The budget, member by member in archive order: a PDF is held while it fits the
// per-member limit and the room left; any other goes to a file. Other members never
// count.
TEST_F(IntakeTest, TheMemoryBudgetDecidesWhichWaybillsGoToFiles) {
    struct Case {
        const char* what;
        std::uint64_t memory, member;
        std::string held;  // the waybills held, by first letter, in archive order
    };
    const Case cases[] = {
        {"room for all", 1000, 1000, "abc"},
        {"exactly the room for the first two", 300, 200, "ab"},
        {"one byte short for the second", 299, 200, "ac"},
        {"the member limit exactly", 350, 200, "abc"},
        {"one byte under the largest", 350, 199, "ac"},
        {"nothing", 0, 200, ""},
    };
    fixtures::write_zip(zip, {{"a.pdf", std::string(100, 'a')},
                              {"notes.txt", std::string(1000, 't')},
                              {"b.pdf", std::string(200, 'b')},
                              {"c.pdf", std::string(50, 'c')}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const archive::Unpacked u =
            unpack({.free_bytes = std::uint64_t{1} << 40, .memory_bytes = c.memory, .member_memory_bytes = c.member});
        std::string held;
        for (const archive::Waybill& w : u.waybills) {
            EXPECT_EQ(bytes_of(w), std::string(w.name == "a.pdf" ? 100 : w.name == "b.pdf" ? 200 : 50, w.name[0]));
            if (w.bytes != nullptr) held += w.name[0];
        }
        EXPECT_EQ(held, c.held);
        EXPECT_EQ(u.files.size(), 3 - c.held.size());
    }
}

// The member size limit, as the directory states sizes: a member of exactly the limit
// is taken, one byte more is refused before anything is read. At 1 GiB, the real limit,
// the size is only stated (the data is short, so the reading stops at its end).
TEST_F(IntakeTest, AMemberOfExactlyTheLimitIsTakenOneByteMoreRefused) {
    const auto refused_as_too_large = [&](const archive::detail::Conditions& conditions) {
        try {
            unpack(conditions);
            return false;
        } catch (const diag::RuntimeError& e) {
            return e.text() != nullptr && e.text()->key == "zip_member_too_large";
        }
    };
    const archive::detail::Conditions room{.free_bytes = std::uint64_t{1} << 40};
    fixtures::write_zip(zip, {{"a.pdf", std::string(1000, 'a')}});
    for (const std::uint64_t limit : {std::uint64_t{1000}, std::uint64_t{999}}) {
        archive::detail::Conditions c = room;
        c.max_member_bytes = limit;
        EXPECT_EQ(refused_as_too_large(c), limit < 1000) << limit;
        if (limit == 1000) {
            EXPECT_EQ(unpack(c).waybills.size(), 1u);
        }
    }
    for (const std::uint32_t stated : {std::uint32_t{1} << 30, (std::uint32_t{1} << 30) + 1}) {
        fixtures::write_zip(zip, {{"a.pdf", std::string(1000, 'a')}});
        fixtures::patch_declared_size(zip, 0, stated);
        EXPECT_EQ(refused_as_too_large(room), stated > archive::MAX_MEMBER_BYTES) << stated;
        EXPECT_THROW(unpack(room), diag::RuntimeError) << "either too large or shorter than stated";
    }
}

}  // namespace
