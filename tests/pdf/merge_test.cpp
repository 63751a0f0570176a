#include "pdf/merge.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "diag/errors.hpp"
#include "pdf/mupdf.hpp"
#include "platform/scratch_file.hpp"
#include "support/geometry_text.hpp"
#include "support/pdf_fixtures.hpp"
#include "support/raw_pdf.hpp"
#include "support/temp_dir.hpp"
#include "workload/waybill.hpp"

namespace {

using fixtures::fmt4;
using fixtures::show;

namespace fs = std::filesystem;
using fixtures::Page;

// Pages labelled prefix1, prefix2, ... of the default A4 size.
std::vector<Page> labelled(const std::string& prefix, int n) {
    std::vector<Page> pages;
    for (int i = 1; i <= n; ++i) pages.push_back(Page{.label = prefix + std::to_string(i)});
    return pages;
}

TEST(MupdfBoundary, MupdfErrorsBecomeExceptionsAndTheContextStaysUsable) {
    try {
        pdf::mupdf_call([](fz_context* c) noexcept { fz_throw(c, FZ_ERROR_GENERIC, "broken object %d", 7); });
        ADD_FAILURE() << "no exception";
    } catch (const diag::RuntimeError& e) {
        EXPECT_STREQ(e.what(), "broken object 7");
    }
    // The error stack is balanced again: later calls still work, and fail cleanly.
    for (int i = 0; i < 100; ++i) {
        EXPECT_THROW(pdf::mupdf_call([](fz_context* c) noexcept { fz_throw(c, FZ_ERROR_GENERIC, "again"); }),
                     diag::RuntimeError);
    }
    const int n = pdf::mupdf_call([](fz_context* c) noexcept { return fz_absi(-3) + (c != nullptr); });
    EXPECT_EQ(n, 4);
}

// Which labels each cell of each sheet shows, as "A1 A2 | B1 | -" per sheet.
std::vector<std::string> sheet_cells(const fs::path& pdf, int nup) {
    std::vector<std::string> sheets;
    const pdf::Grid g = pdf::get_grid(nup);
    for (int s = 0; s < fixtures::page_count(pdf); ++s) {
        const auto spots = fixtures::text_spots(pdf, s);
        std::string line;
        for (int i = 0; i < g.cols * g.rows; ++i) {
            const auto texts = fixtures::texts_in(spots, pdf::cell_rect(nup, i));
            if (i) line += " | ";
            if (texts.empty()) line += "-";
            for (std::size_t k = 0; k < texts.size(); ++k) line += (k ? " " : "") + texts[k];
        }
        sheets.push_back(line);
    }
    return sheets;
}

TEST(MergeNup, FillsCellsRowByRowAcrossSourcesAndCountsSheets) {
    struct Case {
        const char* name;
        std::vector<int> pages_per_file;
        int nup;
        int total, sheets;
        std::vector<std::string> cells;
    };
    const Case cases[] = {
        {"ten at four", {4, 3, 3}, 4, 10, 3, {"a1 | a2 | a3 | a4", "b1 | b2 | b3 | c1", "c2 | c3 | - | -"}},
        {"six at six", {1, 1, 1, 1, 1, 1}, 6, 6, 1, {"a1 | b1 | c1 | d1 | e1 | f1"}},
        {"seven at six", {7}, 6, 7, 2, {"a1 | a2 | a3 | a4 | a5 | a6", "a7 | - | - | - | - | -"}},
        {"three-page source at nine", {1, 3, 1}, 9, 5, 1, {"a1 | b1 | b2 | b3 | c1 | - | - | - | -"}},
        {"one at nine", {1}, 9, 1, 1, {"a1 | - | - | - | - | - | - | - | -"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::TempDir dir;
        std::vector<pdf::Source> files;
        for (std::size_t f = 0; f < c.pages_per_file.size(); ++f) {
            const std::string prefix(1, static_cast<char>('a' + f));
            files.push_back(dir / (prefix + ".pdf"));
            fixtures::write_pdf(files.back().path, labelled(prefix, c.pages_per_file[f]));
        }
        const fs::path out = dir / "out.pdf";
        const pdf::MergeCounts counts = pdf::merge_selected(files, out, c.nup);
        EXPECT_EQ(counts.total_pages, c.total);
        EXPECT_EQ(counts.final_sheets, c.sheets);
        ASSERT_EQ(fixtures::page_count(out), c.sheets);
        const fixtures::Size size = fixtures::page_size(out, 0);
        EXPECT_NEAR(size.width, pdf::A4_W, 1e-3);
        EXPECT_NEAR(size.height, pdf::A4_H, 1e-3);
        EXPECT_EQ(sheet_cells(out, c.nup), c.cells);
        // Cells without a page are blank, not merely free of text.
        const fixtures::Raster last = fixtures::render(out, c.sheets - 1, 1);
        const int used = c.total - (c.sheets - 1) * c.nup;
        for (int i = used; i < c.nup; ++i)
            EXPECT_FALSE(fixtures::ink_box(last, pdf::cell_rect(c.nup, i))) << "cell " << i;
    }
}

TEST(MergeNup, NoSourcePagesGiveNoSheets) {
    fixtures::TempDir dir;
    const pdf::MergeCounts counts = pdf::merge_selected({}, dir / "out.pdf", 4);
    EXPECT_EQ(counts.total_pages, 0);
    EXPECT_EQ(counts.final_sheets, 0);
}

enum class Corner { top_left, top_right, bottom_left, bottom_right };

// The rectangle a page of the given visible size takes in a cell: scaled by one factor
// to the largest size that fits, centred.
pdf::Rect fitted(double w, double h, const pdf::Rect& cell) {
    const double cw = cell.x1 - cell.x0, ch = cell.y1 - cell.y0;
    const double s = std::min(cw / w, ch / h);
    const double x0 = cell.x0 + (cw - s * w) / 2, y0 = cell.y0 + (ch - s * h) / 2;
    return {x0, y0, x0 + s * w, y0 + s * h};
}

pdf::Rect corner_probe(const pdf::Rect& r, Corner c) {
    // Inside the marker (a sixth of the shorter side), clear of the frame.
    const double side = std::min(r.x1 - r.x0, r.y1 - r.y0) / 6;
    const double in = side * 0.3, out = side * 0.8;
    const bool left = c == Corner::top_left || c == Corner::bottom_left;
    const bool top = c == Corner::top_left || c == Corner::top_right;
    const double x0 = left ? r.x0 + in : r.x1 - out, y0 = top ? r.y0 + in : r.y1 - out;
    return {x0, y0, x0 + (out - in), y0 + (out - in)};
}

TEST(MergeNup, PlacesEachPageAsAViewerShowsItScaledAndCentredInItsCell) {
    const double A4w = 595.2756, A4h = 841.8898;
    struct Case {
        const char* name;
        Page page;
        int nup;
        double shown_w, shown_h;  // the visible page as a viewer shows it
        Corner marker;
    };
    const Case cases[] = {
        {"portrait A4", Page{.label = "P"}, 4, A4w, A4h, Corner::top_left},
        {"landscape A4", Page{.width = A4h, .height = A4w, .label = "L"}, 4, A4h, A4w, Corner::top_left},
        {"rotated 90", Page{.label = "R90", .rotate = 90}, 4, A4h, A4w, Corner::top_right},
        {"rotated 180", Page{.label = "R180", .rotate = 180}, 6, A4w, A4h, Corner::bottom_right},
        {"rotated 270", Page{.label = "R270", .rotate = 270}, 9, A4h, A4w, Corner::bottom_left},
        {"cropped", Page{.label = "C", .crop_box = fixtures::PdfBox{100, 200, 400, 600}}, 4, 300, 400,
         Corner::top_left},
        {"offset media box", Page{.width = 420, .height = 595, .label = "O", .origin_x = -300, .origin_y = 500}, 9, 420,
         595, Corner::top_left},
        {"offset, cropped and rotated",
         Page{.width = 500,
              .height = 700,
              .label = "X",
              .rotate = 90,
              .origin_x = 50,
              .origin_y = -100,
              .crop_box = fixtures::PdfBox{100, 0, 500, 300}},
         6, 300, 400, Corner::top_right},
        {"tiny label card", Page{.width = 288, .height = 144, .label = "T"}, 9, 288, 144, Corner::top_left},
        {"two content streams", Page{.label = "S", .split_content = true}, 4, A4w, A4h, Corner::top_left},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::TempDir dir;
        // The page under test goes into the second cell, after a plain page.
        fixtures::write_pdf(dir / "a.pdf", {Page{.label = "first"}, c.page});
        const fs::path out = dir / "out.pdf";
        pdf::merge_selected({dir / "a.pdf"}, out, c.nup);

        const pdf::Rect cell = pdf::cell_rect(c.nup, 1);
        const pdf::Rect want = fitted(c.shown_w, c.shown_h, cell);
        const fixtures::Raster sheet = fixtures::render(out, 0, 2);
        const auto got = fixtures::ink_box(sheet, cell);
        ASSERT_TRUE(got);
        EXPECT_NEAR(got->x0, want.x0, 1.0) << "got " << show(*got) << ", wanted " << show(want);
        EXPECT_NEAR(got->y0, want.y0, 1.0) << "got " << show(*got) << ", wanted " << show(want);
        EXPECT_NEAR(got->x1, want.x1, 1.0) << "got " << show(*got) << ", wanted " << show(want);
        EXPECT_NEAR(got->y1, want.y1, 1.0) << "got " << show(*got) << ", wanted " << show(want);
        for (Corner k : {Corner::top_left, Corner::top_right, Corner::bottom_left, Corner::bottom_right}) {
            const double share = fixtures::ink_share(sheet, corner_probe(want, k));
            if (k == c.marker)
                EXPECT_GT(share, 0.9) << "marker missing in corner " << int(k);
            else
                EXPECT_LT(share, 0.1) << "ink in corner " << int(k);
        }
        EXPECT_EQ(fixtures::texts_in(fixtures::text_spots(out, 0), cell).size(), 1u);
    }
}

TEST(MergeNup, APageWithoutContentLeavesABlankCell) {
    fixtures::TempDir dir;
    fixtures::write_pdf(dir / "a.pdf", {Page{.label = "a"}, Page{.no_content = true}, Page{.label = "c"}});
    const pdf::MergeCounts counts = pdf::merge_selected({dir / "a.pdf"}, dir / "out.pdf", 4);
    EXPECT_EQ(counts.total_pages, 3);
    EXPECT_EQ(counts.final_sheets, 1);
    EXPECT_EQ(sheet_cells(dir / "out.pdf", 4), std::vector<std::string>{"a | - | c | -"});
    const fixtures::Raster sheet = fixtures::render(dir / "out.pdf", 0, 1);
    EXPECT_FALSE(fixtures::ink_box(sheet, pdf::cell_rect(4, 1)));
    EXPECT_TRUE(fixtures::ink_box(sheet, pdf::cell_rect(4, 2)));
}

TEST(Merge1up, KeepsEachPageItsSizeRotationBoxesAndContent) {
    fixtures::TempDir dir;
    const std::vector<Page> a = {Page{.label = "A4"}, Page{.width = 419.53, .height = 595.28, .label = "A5"}};
    const std::vector<Page> b = {
        Page{.width = 841.89, .height = 595.28, .label = "Land"}, Page{.label = "Turned", .rotate = 90},
        Page{.label = "Crop", .origin_x = 30, .origin_y = 40, .crop_box = fixtures::PdfBox{50, 60, 350, 460}},
        Page{.label = "Empty", .no_content = true}};
    fixtures::write_pdf(dir / "a.pdf", a);
    fixtures::write_pdf(dir / "b.pdf", b);
    const fs::path out = dir / "out.pdf";
    const pdf::MergeCounts counts = pdf::merge_selected({dir / "a.pdf", dir / "b.pdf"}, out, 1);
    EXPECT_EQ(counts.total_pages, 6);
    EXPECT_EQ(counts.final_sheets, 6);
    ASSERT_EQ(fixtures::page_count(out), 6);

    struct Want {
        double w, h;
        const char* label;
    };
    const Want wants[] = {{595.2756, 841.8898, "A4"},     {419.53, 595.28, "A5"}, {841.89, 595.28, "Land"},
                          {841.8898, 595.2756, "Turned"}, {300, 400, "Crop"},     {595.2756, 841.8898, ""}};
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(wants[i].label);
        const fixtures::Size s = fixtures::page_size(out, i);
        EXPECT_NEAR(s.width, wants[i].w, 0.01);
        EXPECT_NEAR(s.height, wants[i].h, 0.01);
        const auto spots = fixtures::text_spots(out, i);
        if (*wants[i].label) {
            ASSERT_EQ(spots.size(), 1u);
            EXPECT_EQ(spots[0].text, wants[i].label);
        } else {
            EXPECT_TRUE(spots.empty());
        }
    }
    // The turned page still shows its corner marker where a viewer puts it (top right),
    // and the cropped page shows nothing of the media box outside its crop box.
    const fixtures::Raster turned = fixtures::render(out, 3, 1);
    EXPECT_GT(fixtures::ink_share(turned, {841.89 - 80, 20, 841.89 - 20, 80}), 0.9);
    EXPECT_LT(fixtures::ink_share(turned, {20, 20, 80, 80}), 0.1);
    const fixtures::Raster crop = fixtures::render(out, 4, 1);
    const auto box = fixtures::ink_box(crop, {0, 0, 300, 400});
    ASSERT_TRUE(box);
    EXPECT_EQ(show(*box), "0 0 300 400");
}

TEST(Merge, SharedFontsAndImagesAreStoredOnceButPagesStayApart) {
    for (int nup : {1, 4}) {
        SCOPED_TRACE(nup);
        fixtures::TempDir dir;
        std::vector<pdf::Source> files;
        for (int i = 0; i < 5; ++i) {
            files.push_back(dir / ("w" + std::to_string(i) + ".pdf"));
            fixtures::write_pdf(files.back().path, {Page{.label = "W" + std::to_string(i), .image = true}});
        }
        // The same file twice still gives two pages.
        files.push_back(files.front());
        const fs::path out = dir / "out.pdf";
        const pdf::MergeCounts counts = pdf::merge_selected(files, out, nup);
        EXPECT_EQ(counts.total_pages, 6);
        EXPECT_EQ(fixtures::count_objects(out, "Font"), 1);
        EXPECT_EQ(fixtures::count_objects(out, "Image"), 1);
        std::vector<std::string> labels;
        for (int s = 0; s < fixtures::page_count(out); ++s)
            for (const auto& spot : fixtures::text_spots(out, s)) labels.push_back(spot.text);
        EXPECT_EQ(labels, (std::vector<std::string>{"W0", "W1", "W2", "W3", "W4", "W0"}));
    }
}

// A page with a stamp, a link to the source's second page and a note with its pop-up.
std::string linked_pdf() {
    return fixtures::raw_pdf({
        /* 1 */ {" /Type /Catalog /Pages 2 0 R"},
        /* 2 */ {" /Type /Pages /Kids [3 0 R 4 0 R] /Count 2"},
        /* 3 */
        {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 5 0 R /Annots [6 0 R 7 0 R 8 0 R 9 0 R]"},
        /* 4 */ {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 5 0 R"},
        /* 5 */ {"", "0 g 10 10 20 20 re f"},
        /* 6 */ {" /Type /Annot /Subtype /Stamp /Rect [100 600 300 700] /F 4 /P 3 0 R /AP << /N 10 0 R >>"},
        /* 7 */ {" /Type /Annot /Subtype /Link /Rect [400 650 500 670] /Border [0 0 0] /P 3 0 R /Dest [4 0 R /Fit]"},
        /* 8 */ {" /Type /Annot /Subtype /Text /Rect [50 780 70 800] /P 3 0 R /Popup 9 0 R /Contents (note)"},
        /* 9 */ {" /Type /Annot /Subtype /Popup /Rect [80 700 200 800] /P 3 0 R /Parent 8 0 R"},
        /* 10 */ {" /Type /XObject /Subtype /Form /BBox [0 0 100 50]", "0 g 0 0 100 50 re f"},
    });
}

// The objects a PDF holds, and whether MuPDF had to repair it to read it.
std::pair<int, bool> objects_of(const fs::path& file) {
    const pdf::Document doc(
        pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_open_document(c, file.string().c_str()); }));
    return pdf::mupdf_call([&](fz_context* c) noexcept {
        return std::pair(pdf_count_objects(c, doc.get()), pdf_was_repaired(c, doc.get()) != 0);
    });
}

// The second output, made from the first one's work, is the file of its own sources:
// the same pages drawn alike, the same counts, the same objects and nothing of the
// sources it leaves out; the first output is the file a merge of every source writes,
// byte for byte. Whatever the second takes, in every layout, from waybills with CID
// fonts, split content and transparency, a page with links and annotations, a file
// MuPDF repairs (twice in a row), and the same waybill twice.
TEST(MergeOutputs, TheSecondIsTheFileOfItsOwnSources) {
    fixtures::TempDir dir;
    workload::WaybillFactory factory;
    std::vector<pdf::Source> sources;
    for (std::uint64_t i = 0; i < 3; ++i) {
        const workload::Waybill w = factory.make(5, i, workload::PageSize::a6,
                                                 {.content_streams = static_cast<int>(i) + 1, .transparency = i == 2});
        sources.push_back(dir / w.file_name);
        fixtures::write_bytes(sources.back().path, w.pdf);
    }
    fixtures::write_bytes(dir / "linked.pdf", linked_pdf());
    const std::string whole = fixtures::pdf_bytes(labelled("cut", 2));
    fixtures::write_bytes(dir / "cut.pdf", whole.substr(0, whole.find("xref")));
    sources.insert(sources.begin() + 1, {dir / "linked.pdf", dir / "cut.pdf", dir / "cut.pdf"});
    sources.push_back(sources.front());
    // Pages all of one size, so that many sheets are laid out alike.
    for (int i = 0; i < 20; ++i) {
        sources.push_back(dir / ("plain" + std::to_string(i) + ".pdf"));
        fixtures::write_pdf(sources.back().path, labelled("p" + std::to_string(i) + "-", 1));
    }
    std::vector<std::vector<bool>> subsets(3, std::vector<bool>(sources.size()));
    for (std::size_t i = 0; i < sources.size(); ++i) {
        subsets[0][i] = i % 2 == 1 || i == 2;  // the repaired file twice in a row
        subsets[1][i] = i % 3 != 1;
        subsets[2][i] = i == 6;
    }
    for (int nup : {1, 4, 9}) {
        for (const std::vector<bool>& takes : subsets) {
            SCOPED_TRACE("layout " + std::to_string(nup) + ", first taken " +
                         std::to_string(std::find(takes.begin(), takes.end(), true) - takes.begin()));
            fixtures::TempDir out;
            const std::vector<pdf::MergeCounts> both =
                pdf::merge_selected(sources, {{out / "all.pdf"}, {out / "some.pdf", {}, takes}}, nup);
            ASSERT_EQ(both.size(), 2u);
            std::vector<pdf::Source> taken;
            for (std::size_t i = 0; i < sources.size(); ++i)
                if (takes[i]) taken.push_back(sources[i]);
            const pdf::MergeCounts all = pdf::merge_selected(sources, out / "all-alone.pdf", nup);
            const pdf::MergeCounts some = pdf::merge_selected(taken, out / "some-alone.pdf", nup);
            EXPECT_TRUE(fixtures::read_bytes(out / "all.pdf") == fixtures::read_bytes(out / "all-alone.pdf"));
            for (const auto& [made, own] : {std::pair(both[0], all), std::pair(both[1], some)}) {
                EXPECT_EQ(made.total_pages, own.total_pages);
                EXPECT_EQ(made.final_sheets, own.final_sheets);
                EXPECT_EQ(made.repaired, own.repaired);
            }
            EXPECT_EQ(both[1].written, out / "some.pdf");
            EXPECT_EQ(objects_of(out / "some.pdf"), objects_of(out / "some-alone.pdf"));
            EXPECT_FALSE(objects_of(out / "some.pdf").second);
            ASSERT_EQ(fixtures::page_count(out / "some.pdf"), some.final_sheets);
            for (int sheet = 0; sheet < some.final_sheets; ++sheet)
                EXPECT_TRUE(fixtures::render(out / "some.pdf", sheet, 0.5).gray ==
                            fixtures::render(out / "some-alone.pdf", sheet, 0.5).gray)
                    << "sheet " << sheet;
        }
    }
    EXPECT_THROW(pdf::merge_selected(sources, {{dir / "x.pdf"}, {dir / "y.pdf", {}, {true, false}}}, 1),
                 diag::InvalidValue);
    const std::vector<pdf::MergeOutput> some_first{{dir / "x.pdf", {}, std::vector<bool>(sources.size(), true)}};
    EXPECT_THROW(pdf::merge_selected(sources, some_first, 1), diag::InvalidValue);
}

// Sources that arrive while the merge runs: each is waited for, in order, before it is
// opened, and its entry may be completed meanwhile (here it is empty until then); the
// second output is chosen once every source is copied, before anything is saved. A
// failure while waiting, or while choosing, stops the merge with nothing saved.
TEST(MergeArriving, TakesEachSourceOnceItArrivesAndChoosesTheSecondOutputAfterTheCopy) {
    fixtures::TempDir dir;
    const std::vector<fs::path> files{dir / "a.pdf", dir / "b.pdf", dir / "c.pdf"};
    for (std::size_t i = 0; i < files.size(); ++i)
        fixtures::write_pdf(files[i], labelled(std::string(1, static_cast<char>('a' + i)), 2));
    const fs::path out = dir / "out.pdf";
    const fs::path some = dir / "some.pdf";
    struct Case {
        const char* what;
        std::optional<std::size_t> fails_at;  // the source whose arrival fails
        bool choosing_fails;
    };
    for (const Case& c : {Case{"every source arrives", std::nullopt, false}, Case{"the second fails", 1, false},
                          Case{"choosing the second output fails", std::nullopt, true}}) {
        for (const int nup : {1, 4}) {
            SCOPED_TRACE(std::string(c.what) + ", layout " + std::to_string(nup));
            std::vector<pdf::Source> sources(files.size(), pdf::Source(fs::path()));
            std::vector<std::size_t> arrived;
            std::optional<std::size_t> arrived_when_chosen;
            const auto arrive = [&](std::size_t i) {
                if (c.fails_at == i) throw diag::RuntimeError("the archive broke");
                arrived.push_back(i);
                sources[i] = files[i];
            };
            const auto choose = [&]() -> std::optional<pdf::MergeOutput> {
                arrived_when_chosen = arrived.size();
                EXPECT_FALSE(fs::exists(out)) << "saved before the second output was chosen";
                if (c.choosing_fails) throw diag::RuntimeError("the history is busy");
                return pdf::MergeOutput{some, {}, {false, true, true}};
            };
            try {
                const auto counts = pdf::merge_arriving(sources, {out}, nup, arrive, choose);
                ASSERT_EQ(counts.size(), 2u);
                EXPECT_EQ(counts[1].total_pages, 4);
                EXPECT_EQ(fixtures::page_count(some), nup == 1 ? 4 : 1);
                EXPECT_FALSE(c.fails_at || c.choosing_fails) << "no failure";
            } catch (const diag::RuntimeError& e) {
                EXPECT_TRUE(c.fails_at || c.choosing_fails) << e.what();
                EXPECT_FALSE(fs::exists(out));
                EXPECT_FALSE(fs::exists(some));
            }
            const std::vector<std::size_t> all{0, 1, 2};
            EXPECT_EQ(arrived, c.fails_at ? std::vector<std::size_t>{0} : all);
            EXPECT_EQ(arrived_when_chosen, c.fails_at ? std::nullopt : std::optional<std::size_t>(3));
            fs::remove(out);
            fs::remove(some);
        }
    }
}

TEST(Merge, AFailureLeavesNoOutputFile) {
    struct Case {
        const char* name;
        int nup;
        const char* bad;  // the bytes of the second source, or null for a missing file
        bool unwritable = false;
    };
    const Case cases[] = {
        {"damaged source, layout 1", 1, "%PDF-1.7 garbage"},
        {"damaged source, layout 4", 4, "%PDF-1.7 garbage"},
        {"not a PDF, layout 9", 9, "PK\x03\x04 this is a zip"},
        {"missing source", 6, nullptr},
        {"output folder missing", 1, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::TempDir dir;
        fixtures::write_pdf(dir / "a.pdf", labelled("a", 2));
        std::vector<pdf::Source> files = {dir / "a.pdf"};
        if (!c.unwritable) {
            files.push_back(dir / "b.pdf");
            if (c.bad) fixtures::write_bytes(dir / "b.pdf", c.bad);
        }
        const auto before = fixtures::names_in(dir.path());
        const fs::path out = c.unwritable ? dir / "no" / "out.pdf" : dir / "out.pdf";
        try {
            pdf::merge_selected(files, out, c.nup);
            ADD_FAILURE() << "merge succeeded";
        } catch (const diag::RuntimeError& e) {
            // The message names the file at fault: the damaged source, or the output.
            const std::string wanted = c.unwritable ? "out.pdf" : "b.pdf";
            EXPECT_NE(std::string(e.what()).find(wanted), std::string::npos) << e.what();
        }
        EXPECT_FALSE(fs::exists(out));
        EXPECT_EQ(fixtures::names_in(dir.path()), before);
    }
}

TEST(Merge, NeverOverwritesAFileThatTookTheOutputName) {
    fixtures::TempDir dir;
    fixtures::write_pdf(dir / "a.pdf", labelled("a", 2));
    fixtures::write_bytes(dir / "out.pdf", "someone else's file");
    const auto before = fixtures::names_in(dir.path());
    for (int nup : {1, 4}) {
        EXPECT_THROW(pdf::merge_selected({dir / "a.pdf"}, dir / "out.pdf", nup), diag::RuntimeError);
        EXPECT_EQ(fixtures::read_bytes(dir / "out.pdf"), "someone else's file");
        EXPECT_EQ(fixtures::names_in(dir.path()), before) << "no temporary file is left";
    }
}

TEST(Merge, RejectsLayoutsOutsideTheList) {
    fixtures::TempDir dir;
    fixtures::write_pdf(dir / "a.pdf", labelled("a", 3));
    for (int nup : {0, 2, 3, 5, 10}) {
        EXPECT_THROW(pdf::merge_selected({dir / "a.pdf"}, dir / "out.pdf", nup), diag::InvalidValue) << nup;
        EXPECT_FALSE(fs::exists(dir / "out.pdf"));
    }
}

// The words of a text, sorted: what a page says, whatever order extraction reads its
// lines in.
std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    std::sort(out.begin(), out.end());
    return out;
}

// A source still open from unpacking is read through that file, whatever its size:
// a small one in one piece, a larger one in pieces as MuPDF seeks about in it (its page
// lies past megabytes of other data). Nothing is opened at the source's own path.
TEST(Merge, ASourceIsReadThroughItsOpenFileAtAnySize) {
    fixtures::TempDir dir;
    const std::string page =
        " /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font << /F1 5 0 R >> >> /Contents 6 0 R";
    for (const std::size_t padding : {std::size_t{0}, std::size_t{3} << 20}) {
        SCOPED_TRACE(padding);
        platform::ScratchFile file(dir / "unpacked.pdf", platform::ScratchFile::Lifetime::object);
        file.write(fixtures::raw_pdf({{" /Type /Catalog /Pages 2 0 R"},
                                      {" /Type /Pages /Kids [3 0 R] /Count 1"},
                                      {page},
                                      {"", std::string(padding, '%')},
                                      {" /Type /Font /Subtype /Type1 /BaseFont /Helvetica"},
                                      {"", "BT /F1 24 Tf 72 700 Td (OPEN FILE) Tj ET"}}));
        file.finish();
        for (int nup : {1, 4}) {
            const fs::path out = dir / ("out" + std::to_string(padding) + "_" + std::to_string(nup) + ".pdf");
            EXPECT_EQ(pdf::merge_selected({pdf::Source(dir / "nowhere.pdf", &file)}, out, nup).total_pages, 1);
            EXPECT_EQ(words(fixtures::page_text(out, 0)), (std::vector<std::string>{"FILE", "OPEN"})) << nup;
        }
    }
    // A source that cannot be opened is said to be unreadable, with the system's reason.
    try {
        pdf::merge_selected({dir / "nowhere.pdf"}, dir / "none.pdf", 1);
        ADD_FAILURE() << "a missing source was merged";
    } catch (const diag::RuntimeError& e) {
        ASSERT_NE(e.text(), nullptr) << e.what();
        EXPECT_EQ(e.text()->key, "file_read_failed");
        EXPECT_EQ(e.text()->advice, "fs_not_found");
    }
}

// Waybills as marketplaces hand them out: Flate-compressed content, Cyrillic text in
// embedded CID (Type0) subset fonts, a logo shared byte for byte, content split over
// several streams, a half-transparent stamp under a page transparency group, and the
// same waybill twice (every object of the second copy is a duplicate). Each layout must
// show every word of every waybill in the waybill's own page or cell.
TEST(Merge, RealWaybillsKeepEveryWordInEveryLayout) {
    fixtures::TempDir dir;
    workload::WaybillFactory factory;
    struct Source {
        std::uint64_t index;
        workload::PageSize size;
        workload::WaybillOptions options;
    };
    const Source made[] = {
        {0, workload::PageSize::a6, {}},
        {1, workload::PageSize::a6, {.content_streams = 3}},
        {2, workload::PageSize::a4, {.transparency = true}},
        {3, workload::PageSize::a6, {.content_streams = 2, .transparency = true}},
    };
    std::vector<fs::path> files;
    for (const Source& m : made) {
        const workload::Waybill w = factory.make(11, m.index, m.size, m.options);
        files.push_back(dir / w.file_name);
        fixtures::write_bytes(files.back(), w.pdf);
    }
    // The first waybill again, as a second file with the same bytes, and once more as
    // the very same path.
    fs::copy_file(files[0], dir / "copy.pdf");
    files.push_back(dir / "copy.pdf");
    files.push_back(files[0]);

    std::vector<std::vector<std::string>> wanted;
    for (const fs::path& f : files) {
        wanted.push_back(words(fixtures::page_text(f, 0)));
        ASSERT_GT(wanted.back().size(), 20u) << f;
    }
    for (int nup : {1, 4, 6, 9}) {
        SCOPED_TRACE("layout " + std::to_string(nup));
        const fs::path out = dir / ("out" + std::to_string(nup) + ".pdf");
        const pdf::MergeCounts counts =
            pdf::merge_selected(std::vector<pdf::Source>(files.begin(), files.end()), out, nup);
        ASSERT_EQ(counts.total_pages, static_cast<int>(files.size()));
        for (std::size_t k = 0; k < files.size(); ++k) {
            const int sheet = nup == 1 ? static_cast<int>(k) : static_cast<int>(k) / nup;
            const std::optional<pdf::Rect> cell =
                nup == 1 ? std::nullopt : std::optional(pdf::cell_rect(nup, static_cast<int>(k) % nup));
            EXPECT_EQ(words(fixtures::page_text(out, sheet, cell)), wanted[k]) << "waybill " << k;
        }
        // The stamped waybills keep their transparency group, which decides how the
        // stamp blends: on the page itself, or on the form that draws it in its cell.
        for (int k : {2, 3}) {
            const std::string group =
                nup == 1
                    ? fixtures::dict_value(out, k, "Group/S")
                    : fixtures::dict_value(out, k / nup, "Resources/XObject/Fm" + std::to_string(k % nup) + "/Group/S");
            EXPECT_EQ(group, "/Transparency") << "waybill " << k;
        }
        // The fonts and the logo of the repeated waybill are stored once.
        EXPECT_EQ(fixtures::count_objects(out, "Image"), 1);
    }
}

}  // namespace
