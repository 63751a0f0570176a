// Checks that the benchmark waybills are what the benchmarks assume: one page of the
// right size, real text in embedded subset fonts, one logo stream shared byte for byte,
// stable bytes for a seed, distinct file names, and a readable archive.
#include "support/waybill.hpp"

#include "diag/errors.hpp"
#include "pdf/mupdf.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <zip.h>


#include <numeric>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

// What the tests read back from a generated PDF.
struct Inspected {
    int pages = 0;
    fz_rect media{};
    std::string text;                      // extracted page text, UTF-8
    std::vector<std::string> font_names;   // BaseFont of each page font
    std::vector<bool> font_embedded;       // FontFile2 present in its descriptor
    std::vector<std::size_t> font_sizes;   // length of the decoded font file
    std::string logo;                      // raw (still compressed) bytes of /Im1
};

std::string copy_of(const pdf::Buffer& buf) { return std::string(pdf::bytes_of(buf)); }

// Reads `pdf` back with MuPDF.
Inspected inspect(const std::string& pdf) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(pdf.data());
    const std::size_t length = pdf.size();
    pdf::Stream stm(pdf::mupdf_call([&](fz_context* c) noexcept { return fz_open_memory(c, bytes, length); }));
    pdf::Document doc(pdf::mupdf_call(
        [&](fz_context* c) noexcept { return pdf_open_document_with_stream(c, stm.get()); }));
    Inspected out;
    out.pages = pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_count_pages(c, doc.get()); });
    pdf_obj* page = pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_lookup_page_obj(c, doc.get(), 0); });
    out.media = pdf::mupdf_call(
        [&](fz_context* c) noexcept { return pdf_to_rect(c, pdf_dict_get(c, page, PDF_NAME(MediaBox))); });
    pdf_obj* res = pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_dict_get(c, page, PDF_NAME(Resources)); });
    pdf_obj* fonts = pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_dict_get(c, res, PDF_NAME(Font)); });
    const int font_count = pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_dict_len(c, fonts); });
    for (int i = 0; i < font_count; ++i) {
        pdf_obj* font = pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_dict_get_val(c, fonts, i); });
        out.font_names.emplace_back(pdf::mupdf_call([&](fz_context* c) noexcept {
            return pdf_to_name(c, pdf_dict_get(c, font, PDF_NAME(BaseFont)));
        }));
        pdf_obj* file = pdf::mupdf_call([&](fz_context* c) noexcept {
            pdf_obj* cid = pdf_array_get(c, pdf_dict_get(c, font, PDF_NAME(DescendantFonts)), 0);
            return pdf_dict_get(c, pdf_dict_get(c, cid, PDF_NAME(FontDescriptor)), PDF_NAME(FontFile2));
        });
        const bool embedded = pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_is_stream(c, file); });
        out.font_embedded.push_back(embedded);
        out.font_sizes.push_back(
            embedded ? copy_of(pdf::Buffer(pdf::mupdf_call(
                           [&](fz_context* c) noexcept { return pdf_load_stream(c, file); }))).size()
                     : 0);
    }
    pdf::Buffer logo(pdf::mupdf_call([&](fz_context* c) noexcept {
        return pdf_load_raw_stream(c, pdf_dict_gets(c, pdf_dict_get(c, res, PDF_NAME(XObject)), "Im1"));
    }));
    out.logo = copy_of(logo);
    pdf::TextPage text(pdf::mupdf_call([&](fz_context* c) noexcept {
        return fz_new_stext_page_from_page_number(c, &doc.get()->super, 0, nullptr);
    }));
    out.text = copy_of(pdf::Buffer(
        pdf::mupdf_call([&](fz_context* c) noexcept { return fz_new_buffer_from_stext_page(c, text.get()); })));
    return out;
}

bool all_digits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// "Заказ_<9 digits>.pdf", "<9 digits>.pdf" or "<9 digits>-0001-1.pdf".
bool shaped_like_waybill_name(std::string_view name) {
    const std::string_view ext = ".pdf", prefix = "Заказ_", posting = "-0001-1";
    if (!name.ends_with(ext)) return false;
    name.remove_suffix(ext.size());
    if (name.starts_with(prefix)) name.remove_prefix(prefix.size());
    else if (name.ends_with(posting)) name.remove_suffix(posting.size());
    return name.size() == 9 && all_digits(name);
}

// "<six capital letters>+DejaVuSans" or "...+DejaVuSans-Bold".
bool is_subset_name(std::string_view name) {
    if (name.size() < 7 || name[6] != '+') return false;
    for (char c : name.substr(0, 6))
        if (c < 'A' || c > 'Z') return false;
    const std::string_view base = name.substr(7);
    return base == "DejaVuSans" || base == "DejaVuSans-Bold";
}

std::string digits_of(const std::string& name) {
    std::string d;
    for (char c : name) {
        if (c >= '0' && c <= '9') d += c;
        else if (!d.empty()) break;
    }
    return d;
}

TEST(Code128, EncodesKnownValuesWithCheckSymbol) {
    struct Case {
        std::string digits;
        std::vector<int> modules;
    };
    // "12": start C (105), symbol 12, check (105 + 12) % 103 = 14, stop.
    // "5" is padded to "05": check (105 + 5) % 103 = 7.
    // "1234": symbols 12, 34; check (105 + 12 + 2 * 34) % 103 = 82.
    const std::vector<Case> cases = {
        {"12", {2, 1, 1, 2, 3, 2, 1, 1, 2, 2, 3, 2, 1, 2, 2, 2, 3, 1, 2, 3, 3, 1, 1, 1, 2}},
        {"5", {2, 1, 1, 2, 3, 2, 1, 3, 1, 2, 2, 2, 1, 2, 2, 3, 1, 2, 2, 3, 3, 1, 1, 1, 2}},
        {"1234", {2, 1, 1, 2, 3, 2, 1, 1, 2, 2, 3, 2, 1, 3, 1, 1, 2, 3, 1, 2, 1, 2, 4, 1, 2, 3, 3, 1, 1, 1, 2}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fixtures::code128c_modules(c.digits), c.modules) << "digits " << c.digits;
    }
}

TEST(Code128, EverySymbolIsElevenModulesAndBarsAlternate) {
    const std::string value = "601241381638";  // 6 symbols + start + check
    const std::vector<int> m = fixtures::code128c_modules(value);
    ASSERT_EQ(m.size(), 8u * 6 + 7);
    EXPECT_EQ(std::accumulate(m.begin(), m.end(), 0), 8 * 11 + 13);
    for (std::size_t s = 0; s < 8; ++s)
        EXPECT_EQ(std::accumulate(m.begin() + 6 * s, m.begin() + 6 * s + 6, 0), 11) << "symbol " << s;
}

TEST(Code128, RejectsEmptyAndNonDigits) {
    for (const std::string bad : {"", "12a4", "-1", "12 3"})
        EXPECT_THROW(fixtures::code128c_modules(bad), diag::InvalidValue) << '"' << bad << '"';
}

TEST(PageSizeFor, EveryKthIsA4) {
    struct Case {
        std::uint64_t index;
        unsigned every;
        fixtures::PageSize want;
    };
    const std::vector<Case> cases = {
        {0, 5, fixtures::PageSize::a6}, {3, 5, fixtures::PageSize::a6}, {4, 5, fixtures::PageSize::a4},
        {9, 5, fixtures::PageSize::a4}, {10, 5, fixtures::PageSize::a6}, {0, 1, fixtures::PageSize::a4},
        {7, 1, fixtures::PageSize::a4}, {4, 0, fixtures::PageSize::a6}, {1, 2, fixtures::PageSize::a4},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fixtures::page_size_for(c.index, c.every), c.want) << c.index << " every " << c.every;
}

class WaybillTest : public ::testing::Test {
protected:
    fixtures::WaybillFactory factory;
};

TEST_F(WaybillTest, SameSeedAndIndexGiveSameBytes) {
    const fixtures::Waybill a = factory.make(7, 3, fixtures::PageSize::a6);
    const fixtures::Waybill b = factory.make(7, 3, fixtures::PageSize::a6);
    const fixtures::Waybill c = factory.make(7, 4, fixtures::PageSize::a6);
    const fixtures::Waybill d = factory.make(8, 3, fixtures::PageSize::a6);
    EXPECT_EQ(a.file_name, b.file_name);
    EXPECT_EQ(a.pdf, b.pdf);
    EXPECT_NE(a.file_name, c.file_name);
    EXPECT_NE(a.pdf, c.pdf);
    EXPECT_NE(a.pdf, d.pdf);
}

TEST_F(WaybillTest, FileNamesAreDistinctAndShapedLikeMarketplaceNames) {
    std::set<std::string> names;
    std::set<std::string> ids;
    for (std::uint64_t i = 0; i < 300; ++i) {
        const std::string name = factory.make(42, i, fixtures::PageSize::a6).file_name;
        EXPECT_TRUE(shaped_like_waybill_name(name)) << name;
        names.insert(name);
        ids.insert(digits_of(name));
    }
    EXPECT_EQ(names.size(), 300u);
    EXPECT_EQ(ids.size(), 300u);
}

TEST_F(WaybillTest, PageHoldsTextInEmbeddedSubsetsAtTheRightSize) {
    for (fixtures::PageSize size : {fixtures::PageSize::a6, fixtures::PageSize::a4}) {
        for (std::uint64_t index : {0u, 1u, 17u}) {
            const fixtures::Waybill w = factory.make(5, index, size);
            SCOPED_TRACE(w.file_name);
            EXPECT_GE(w.pdf.size(), 30u * 1024);
            EXPECT_LE(w.pdf.size(), 80u * 1024);
            const Inspected got = inspect(w.pdf);
            EXPECT_EQ(got.pages, 1);
            const fixtures::PageDims dims = fixtures::page_dims(size);
            EXPECT_NEAR(got.media.x1 - got.media.x0, dims.width, 0.01);
            EXPECT_NEAR(got.media.y1 - got.media.y0, dims.height, 0.01);
            ASSERT_EQ(got.font_names.size(), 2u);
            for (std::size_t i = 0; i < 2; ++i) {
                EXPECT_TRUE(is_subset_name(got.font_names[i])) << got.font_names[i];
                EXPECT_TRUE(got.font_embedded[i]);
                // The whole DejaVuSans is over 700 KB; a subset of one page's letters is small.
                EXPECT_GT(got.font_sizes[i], 1000u);
                EXPECT_LT(got.font_sizes[i], 60u * 1024);
            }
            EXPECT_NE(got.font_names[0].substr(0, 6), got.font_names[1].substr(0, 6));
            // The order number of the file name is printed, and the Cyrillic text reads
            // back as Cyrillic (glyph ids map to the right characters).
            EXPECT_NE(got.text.find("№ " + digits_of(w.file_name)), std::string::npos);
            EXPECT_NE(got.text.find(size == fixtures::PageSize::a4 ? "ТОВАРНАЯ НАКЛАДНАЯ" : "ПОЛУЧАТЕЛЬ"),
                      std::string::npos);
        }
    }
}

TEST_F(WaybillTest, LogoStreamIsTheSameInEveryFile) {
    const Inspected a = inspect(factory.make(1, 0, fixtures::PageSize::a6).pdf);
    const Inspected b = inspect(factory.make(99, 12, fixtures::PageSize::a4).pdf);
    ASSERT_GT(a.logo.size(), 1000u);
    EXPECT_EQ(a.logo, b.logo);
}

TEST(WriteZip, StoresFilesUnderUtf8NamesReproducibly) {
    fixtures::TempDir dir;
    const std::vector<std::filesystem::path> files = {dir / "Заказ_123456789.pdf", dir / "987654321.pdf"};
    fixtures::write_bytes(files[0], "first");
    fixtures::write_bytes(files[1], std::string(5000, 'x'));
    fixtures::write_zip(dir / "a.zip", files);
    fixtures::write_zip(dir / "b.zip", files);
    EXPECT_EQ(fixtures::read_bytes(dir / "a.zip"), fixtures::read_bytes(dir / "b.zip"));

    const std::string bytes = fixtures::read_bytes(dir / "a.zip");
    // The first local header starts the file; general purpose flags at offset 6.
    ASSERT_GT(bytes.size(), 30u);
    EXPECT_EQ(bytes.compare(0, 4, "PK\x03\x04"), 0);
    EXPECT_NE(static_cast<unsigned char>(bytes[7]) & 0x08, 0) << "UTF-8 flag (bit 11) not set";

    int err = 0;
    zip_t* za = zip_open((dir / "a.zip").c_str(), ZIP_RDONLY, &err);
    ASSERT_NE(za, nullptr);
    ASSERT_EQ(zip_get_num_entries(za, 0), 2);
    const char* expect_names[] = {"Заказ_123456789.pdf", "987654321.pdf"};
    const std::string expect_data[] = {"first", std::string(5000, 'x')};
    for (zip_uint64_t i = 0; i < 2; ++i) {
        EXPECT_STREQ(zip_get_name(za, i, ZIP_FL_ENC_STRICT), expect_names[i]);
        zip_stat_t st;
        ASSERT_EQ(zip_stat_index(za, i, 0, &st), 0);
        EXPECT_EQ(st.comp_method, ZIP_CM_DEFLATE);
        std::string data(st.size, '\0');
        zip_file_t* f = zip_fopen_index(za, i, 0);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(zip_fread(f, data.data(), data.size()), static_cast<zip_int64_t>(data.size()));
        zip_fclose(f);
        EXPECT_EQ(data, expect_data[i]);
    }
    zip_close(za);
}

TEST(WriteZip, MissingInputFailsAndNamesIt) {
    fixtures::TempDir dir;
    try {
        fixtures::write_zip(dir / "a.zip", {dir / "absent.pdf"});
        FAIL() << "no exception";
    } catch (const diag::FileNotFound& e) {
        EXPECT_NE(std::string(e.what()).find("absent.pdf"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "a.zip"));
}

}  // namespace
