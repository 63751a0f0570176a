// The shipped resources: the window icon (.ico and its PNG for X11) and the two help
// pages. The checks read the files in the source tree, where the product profile's
// root points in a development run.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "i18n/catalogue.hpp"
#include "i18n/unicode.hpp"
#include "product/product.hpp"
#include "support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace {

const fs::path& assets_dir() {
    static const fs::path dir = *product::profile().ROOT / "assets";
    return dir;
}

std::uint32_t le16(std::string_view b, std::size_t at) {
    return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8;
}
std::uint32_t le32(std::string_view b, std::size_t at) { return le16(b, at) | le16(b, at + 2) << 16; }
std::uint32_t be32(std::string_view b, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at])) << 24 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 1])) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 2])) << 8 | static_cast<std::uint8_t>(b[at + 3]);
}

// Tk's .ico reader on Windows ("wm iconbitmap") takes every entry for a 32-bit-or-less
// DIB and chooses the 16 and 32 px ones for the title bar and the task switcher, so
// each entry must be a DIB of its directory size, never a PNG-compressed image.
TEST(Icon, HoldsSixteenThirtyTwoFortyEightAndTwoFiftySixPixelBitmaps) {
    const auto name = *product::profile().ICON_NAME;
    const std::string ico = fixtures::read_bytes(assets_dir() / name);
    ASSERT_GE(ico.size(), 6u);
    EXPECT_EQ(le16(ico, 0), 0u) << "reserved";
    EXPECT_EQ(le16(ico, 2), 1u) << "type 1 is an icon";
    const std::size_t count = le16(ico, 4);
    ASSERT_GE(ico.size(), 6 + 16 * count);

    std::set<std::uint32_t> sizes;
    std::size_t data_end = 6 + 16 * count;  // images follow the directory, in order
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t e = 6 + 16 * i;
        const std::uint32_t width = static_cast<std::uint8_t>(ico[e]) == 0 ? 256 : static_cast<std::uint8_t>(ico[e]);
        const std::uint32_t height =
            static_cast<std::uint8_t>(ico[e + 1]) == 0 ? 256 : static_cast<std::uint8_t>(ico[e + 1]);
        SCOPED_TRACE("entry " + std::to_string(i) + ", " + std::to_string(width) + " px");
        EXPECT_EQ(width, height);
        EXPECT_EQ(le16(ico, e + 4), 1u) << "planes";
        EXPECT_EQ(le16(ico, e + 6), 32u) << "bits per pixel";
        const std::uint32_t bytes = le32(ico, e + 8);
        const std::uint32_t offset = le32(ico, e + 12);
        ASSERT_EQ(offset, data_end) << "images overlap or leave gaps";
        ASSERT_LE(std::size_t{offset} + bytes, ico.size()) << "image runs past the end of the file";
        data_end = offset + bytes;
        sizes.insert(width);

        const std::string_view img(ico.data() + offset, bytes);
        ASSERT_GE(img.size(), 40u);
        ASSERT_NE(img.substr(0, 4), "\x89PNG") << "a PNG entry, which Tk cannot read";
        EXPECT_EQ(le32(img, 0), 40u) << "BITMAPINFOHEADER size";
        EXPECT_EQ(le32(img, 4), width);
        EXPECT_EQ(le32(img, 8), 2 * height) << "colour rows plus mask rows";
        EXPECT_EQ(le16(img, 14), 32u);
        EXPECT_EQ(le32(img, 16), 0u) << "uncompressed";
        const std::size_t mask_stride = (width + 31) / 32 * 4;
        ASSERT_EQ(img.size(), 40 + std::size_t{width} * height * 4 + mask_stride * height);

        // The picture is an opaque tile: the middle pixel is fully opaque, and the mask
        // leaves it visible for readers that ignore alpha.
        const std::size_t row = height / 2, col = width / 2;  // rows are stored bottom-up
        EXPECT_EQ(static_cast<std::uint8_t>(img[40 + (row * width + col) * 4 + 3]), 255);
        const std::size_t mask_at = 40 + std::size_t{width} * height * 4 + row * mask_stride + col / 8;
        EXPECT_EQ(static_cast<std::uint8_t>(img[mask_at]) & (0x80 >> (col % 8)), 0);
    }
    EXPECT_EQ(data_end, ico.size()) << "bytes after the last image";
    EXPECT_EQ(sizes, (std::set<std::uint32_t>{16, 32, 48, 256}));
}

// The PNG beside the .ico is what the window gets through "wm iconphoto" on X11.
TEST(Icon, PngForX11IsASquareRgbaImageWhoseDataInflatesWhole) {
    const std::string png = fixtures::read_bytes(assets_dir() / "mergalo.png");
    ASSERT_GE(png.size(), 33u);
    ASSERT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    ASSERT_EQ(png.substr(12, 4), "IHDR");
    const std::uint32_t width = be32(png, 16), height = be32(png, 20);
    EXPECT_EQ(width, height);
    EXPECT_GE(width, 32u);
    EXPECT_EQ(png[24], 8) << "bit depth";
    EXPECT_EQ(png[25], 6) << "colour type RGBA";

    // Walk the chunks, checking each CRC, and inflate the image data.
    std::string idat;
    bool ended = false;
    for (std::size_t at = 8; at + 12 <= png.size() && !ended;) {
        const std::uint32_t len = be32(png, at);
        ASSERT_LE(at + 12 + std::size_t{len}, png.size());
        const std::string_view kind(png.data() + at + 4, 4);
        const auto* typed = reinterpret_cast<const Bytef*>(png.data() + at + 4);
        EXPECT_EQ(crc32(0, typed, 4 + len), be32(png, at + 8 + len)) << kind << " CRC";
        if (kind == "IDAT") idat.append(png.data() + at + 8, len);
        ended = kind == "IEND";
        at += 12 + std::size_t{len};
    }
    ASSERT_TRUE(ended) << "no IEND chunk";
    std::vector<Bytef> raw(std::size_t{height} * (1 + width * 4) + 1);
    uLongf raw_len = raw.size();
    ASSERT_EQ(uncompress(raw.data(), &raw_len, reinterpret_cast<const Bytef*>(idat.data()), idat.size()), Z_OK);
    EXPECT_EQ(raw_len, std::size_t{height} * (1 + width * 4)) << "image data of another size";
}

struct HelpPage {
    const char* file;
    const char* lang;
    const char* other_file;
};

void PrintTo(const HelpPage& page, std::ostream* os) { *os << page.file; }

class HelpPages : public testing::TestWithParam<HelpPage> {
protected:
    std::string page() const { return fixtures::read_bytes(assets_dir().parent_path() / "help" / GetParam().file); }
};

TEST_P(HelpPages, AreSelfContainedUtf8InTheirLanguageAndLinkToEachOther) {
    const std::string html = page();
    EXPECT_TRUE(i18n::is_valid_utf8(html));
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(html.find("<html lang=\"" + std::string(GetParam().lang) + "\">"), std::string::npos);
    EXPECT_NE(html.find("<meta charset=\"utf-8\""), std::string::npos);
    EXPECT_NE(html.find("name=\"viewport\""), std::string::npos) << "readable on a phone";
    EXPECT_NE(html.find("href=\"" + std::string(GetParam().other_file) + "\""), std::string::npos);
    // Opened from disk, often offline: nothing may be fetched from elsewhere.
    for (std::string_view external : {"<link", "<script", "<img", "<iframe", "@import", "url(", "src=\""}) {
        EXPECT_EQ(html.find(external), std::string::npos) << external;
    }
}

TEST_P(HelpPages, NameTheFilesTheProgramWritesAndTheSupportChat) {
    const std::string html = page();
    const auto profile = product::profile();
    for (const std::string& text :
         {std::string("logs\\error.log"), std::string("waybill_history.csv"), *profile.EXE_NAME + ".exe",
          std::string("https://t.me/tarvo_support"), "orders_" + *profile.TITLE + "_MERGED_4up.pdf",
          "orders_" + *profile.TITLE + "_NEW_MERGED_4up.pdf"}) {
        EXPECT_NE(html.find(text), std::string::npos) << text;
    }
}

// The pages tell the user which button or menu entry to press by its label; a label
// changed in the catalogue and not in the page would send the user looking for nothing.
TEST_P(HelpPages, QuoteTheProgramsOwnLabelsInTheirLanguage) {
    const std::string html = page();
    const std::string lang = GetParam().lang;
    const std::string title = *product::profile().TITLE;
    std::vector<std::string> labels;
    for (const char* key : {"btn_open_all",     "btn_open_new",    "btn_open_folder",
                            "clean_old_sheets", "open_help",       "change_language",
                            "btn_close",        "mode_1up",        "mode_4up",
                            "mode_6up",         "mode_9up",        "choose_mode",
                            "merging_title",    "done_title",      "detail_no_new_file",
                            "choose_zip",       "old_sheets_none", "language_saved",
                            "error_pdf_failed", "error_log_saved", "error_open_log_folder",
                            "language_ru",      "language_kk"}) {
        labels.push_back(i18n::t(key, lang));
    }
    labels.push_back(i18n::t("choose_language", "ru"));  // the chooser's heading is always Russian
    labels.push_back(i18n::t("menu_root", lang, {{"app", title}}));
    labels.push_back(i18n::t("menu_help", lang, {{"app", title}}));
    const std::string confirm = i18n::t("old_sheets_confirm", lang);
    labels.push_back(confirm.substr(0, confirm.find('\n')));
    // The sample of the result window's details.
    labels.push_back(i18n::t("detail_mode", lang, {{"mode", i18n::t("mode_4up", lang)}}));
    labels.push_back(i18n::t("files_taken", lang, {{"count", 25}}));
    labels.push_back(i18n::t("detail_new_count", lang, {{"count", 7}}));
    labels.push_back(i18n::t("detail_pages", lang, {{"count", 25}}));
    labels.push_back(i18n::t("detail_sheets_all", lang, {{"count", 7}}));
    labels.push_back(i18n::t("detail_sheets_new", lang, {{"count", 2}}));
    for (const auto& label : labels) EXPECT_NE(html.find(label), std::string::npos) << label;
}

// Every value of the attribute that starts with `opening` (up to its closing quote).
std::vector<std::string> attribute_values(std::string_view html, std::string_view opening) {
    std::vector<std::string> values;
    for (auto at = html.find(opening); at != std::string_view::npos; at = html.find(opening, at)) {
        at += opening.size();
        const auto close = html.find('"', at);
        if (close == std::string_view::npos) break;
        values.emplace_back(html.substr(at, close - at));
    }
    return values;
}

std::set<std::string> ids_of(std::string_view html) {
    std::set<std::string> ids;
    for (const auto& id : attribute_values(html, " id=\"")) EXPECT_TRUE(ids.insert(id).second) << "id twice: " << id;
    return ids;
}

// Every link leads somewhere: a section of this page, a help page shipped beside it (and
// a section of that page), or the web. The pages are opened from disk, where a link to
// a file that is not there, or to a section renamed, shows nothing.
TEST_P(HelpPages, LinksLeadToPagesAndSectionsThatExist) {
    const fs::path dir = assets_dir().parent_path() / "help";
    const std::string html = page();
    const auto targets = attribute_values(html, "href=\"");
    EXPECT_GE(targets.size(), 10u) << "the table of contents";
    for (const auto& target : targets) {
        SCOPED_TRACE(target);
        if (target.starts_with("https://")) continue;
        const auto hash = target.find('#');
        const std::string file = target.substr(0, hash);
        EXPECT_EQ(file.find_first_of("/\\:"), std::string::npos) << "not a page beside this one";
        if (!file.empty() && !fs::is_regular_file(dir / file)) {
            ADD_FAILURE() << "no page " << file;
            continue;
        }
        const std::string other = file.empty() ? html : fixtures::read_bytes(dir / file);
        if (hash != std::string::npos) {
            EXPECT_TRUE(ids_of(other).contains(target.substr(hash + 1))) << "no section";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RuAndKk, HelpPages,
                         testing::Values(HelpPage{"Instruction.html", "ru", "Instruction_kk.html"},
                                         HelpPage{"Instruction_kk.html", "kk", "Instruction.html"}),
                         [](const auto& param_info) { return std::string(param_info.param.lang); });

// The two pages are one text in two languages: the same sections, in the same order, so
// that a section written into one page and forgotten in the other is found.
TEST(HelpPagesTogether, HoldTheSameSectionsInTheSameOrder) {
    const fs::path dir = assets_dir().parent_path() / "help";
    const auto sections = [&](const char* file) {
        return attribute_values(fixtures::read_bytes(dir / file), "<h2 id=\"");
    };
    const auto ru = sections("Instruction.html");
    EXPECT_GE(ru.size(), 10u);
    EXPECT_EQ(ru, sections("Instruction_kk.html"));
}

// The package's change log names the version it packages; a version raised without a
// new entry would be packaged under the old entry's words.
TEST(DebianPackage, ChangelogBeginsWithTheProgramsVersion) {
    const std::string log = fixtures::read_bytes(*product::profile().ROOT / "packaging" / "deb" / "changelog");
    const std::string wanted = "mergalo (" + *product::profile().APP_VERSION + "-";
    EXPECT_EQ(log.rfind(wanted, 0), 0u) << log.substr(0, log.find('\n')) << ", wanted " << wanted << "<revision>)";
}

}  // namespace
