// Annotations and form fields with appearances (stamps, free text, check boxes, links,
// notes with pop-ups) as viewers show and print them: kept as annotations in layout 1,
// drawn with the page in layouts 4, 6 and 9. Checked on the structure of the output
// and on MuPDF's rendering of it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "pdf/geometry.hpp"
#include "pdf/merge.hpp"
#include "pdf/mupdf.hpp"
#include "support/pdf_fixtures.hpp"
#include "support/raw_pdf.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using pdf::mupdf_call;

constexpr double PAGE_W = 595, PAGE_H = 842;

// Two A4 pages. Page 1 carries (PDF space, y up):
//   a stamp          [100 600 300 700], appearance filled black;
//   a hidden square  [300 100 500 300] and a "no view" square [50 100 250 300], both filled;
//   a check box      [100 400 150 450], state On (filled), its field a parent with /FT and /V;
//   a free text      [350 450 450 550], appearance turned by its /Matrix: a bar along the
//                    right side of the rectangle;
//   a web link, a link to page 2, and a note with its pop-up.
// Page 2 is blank but for a small mark.
std::string annotated_pdf() {
    const std::string fill_box = "0 g 0 0 100 50 re f";
    const std::string fill_square = "0 g 0 0 200 200 re f";
    return fixtures::raw_pdf({
        /* 1 */ {" /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [16 0 R] >>"},
        /* 2 */ {" /Type /Pages /Kids [3 0 R 4 0 R] /Count 2"},
        /* 3 */
        {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 5 0 R"
         " /Annots [6 0 R 7 0 R 8 0 R 9 0 R 10 0 R 11 0 R 12 0 R 19 0 R 21 0 R]"},
        /* 4 */ {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 13 0 R"},
        /* 5 */ {"", "0 g 10 10 20 20 re f"},
        /* 6 */ {" /Type /Annot /Subtype /Stamp /Rect [100 600 300 700] /F 4 /P 3 0 R /AP << /N 14 0 R >>"},
        /* 7 */ {" /Type /Annot /Subtype /Square /Rect [300 100 500 300] /F 6 /P 3 0 R /AP << /N 15 0 R >>"},
        /* 8 */
        {" /Type /Annot /Subtype /Widget /Rect [100 400 150 450] /F 4 /P 3 0 R /Parent 16 0 R /AS /On"
         " /AP << /N << /On 17 0 R /Off 18 0 R >> >>"},
        /* 9 */
        {" /Type /Annot /Subtype /Link /Rect [400 700 500 720] /Border [0 0 0] /P 3 0 R"
         " /A << /S /URI /URI (https://example.com/track/17) >>"},
        /* 10 */ {" /Type /Annot /Subtype /Link /Rect [400 650 500 670] /Border [0 0 0] /P 3 0 R /Dest [4 0 R /Fit]"},
        /* 11 */ {" /Type /Annot /Subtype /Text /Rect [50 780 70 800] /P 3 0 R /Popup 12 0 R /Contents (note)"},
        /* 12 */ {" /Type /Annot /Subtype /Popup /Rect [80 700 200 800] /P 3 0 R /Parent 11 0 R"},
        /* 13 */ {"", "0 g 10 10 20 20 re f"},
        /* 14 */ {" /Type /XObject /Subtype /Form /BBox [0 0 100 50]", fill_box},
        /* 15 */ {" /Type /XObject /Subtype /Form /BBox [0 0 200 200]", fill_square},
        /* 16 */ {" /FT /Btn /T (agree) /V /On /Kids [8 0 R]"},
        /* 17 */ {" /Type /XObject /Subtype /Form /BBox [0 0 50 50]", "0 g 0 0 50 50 re f"},
        /* 18 */ {" /Type /XObject /Subtype /Form /BBox [0 0 50 50]", ""},
        /* 19 */
        {" /Type /Annot /Subtype /FreeText /Rect [350 450 450 550] /F 4 /P 3 0 R /DA (/Helv 12 Tf 0 g)"
         " /AP << /N 20 0 R >>"},
        /* 20 */ {" /BBox [0 0 50 100] /Matrix [0 1 -1 0 0 0]", "0 g 0 0 50 20 re f"},
        /* 21 */ {" /Type /Annot /Subtype /Square /Rect [50 100 250 300] /F 36 /P 3 0 R /AP << /N 15 0 R >>"},
    });
}

// A rectangle of page 1 given in its PDF space (y up), in the page space of a raster
// of that page (y down), shrunk by `inset` points so that edges do not count.
pdf::Rect on_page(double x0, double y0, double x1, double y1, double inset = 3) {
    return {x0 + inset, PAGE_H - y1 + inset, x1 - inset, PAGE_H - y0 - inset};
}

// The same rectangle where the page lands in cell 0 of a 4-up sheet.
pdf::Rect in_cell(const pdf::Rect& r) {
    const pdf::Rect cell = pdf::cell_rect(4, 0);
    const double cw = cell.x1 - cell.x0, ch = cell.y1 - cell.y0;
    const double s = std::min(cw / PAGE_W, ch / PAGE_H);
    const double ox = cell.x0 + (cw - s * PAGE_W) / 2, oy = cell.y0 + (ch - s * PAGE_H) / 2;
    return {ox + s * r.x0, oy + s * r.y0, ox + s * r.x1, oy + s * r.y1};
}

struct Probe {
    const char* what;
    pdf::Rect where;  // on page 1, raster space
    bool inked;
};

const std::vector<Probe>& probes() {
    static const std::vector<Probe> list = {
        {"stamp", on_page(100, 600, 300, 700), true},
        {"hidden square", on_page(300, 100, 500, 300), false},
        {"square not for viewing", on_page(50, 100, 250, 300), false},
        {"check box, on", on_page(100, 400, 150, 450), true},
        {"free text, bar turned to the right side", on_page(432, 452, 450, 548, 1), true},
        {"free text, rest of its rectangle", on_page(350, 450, 425, 550), false},
    };
    return list;
}

void expect_probes(const fixtures::Raster& r, bool in_a_cell) {
    for (const Probe& p : probes()) {
        const pdf::Rect where = in_a_cell ? in_cell(p.where) : p.where;
        const double share = fixtures::ink_share(r, where);
        if (p.inked)
            EXPECT_GT(share, 0.9) << p.what;
        else
            EXPECT_LT(share, 0.01) << p.what;
    }
}

class Annotations : public ::testing::Test {
protected:
    fixtures::TempDir dir;
    fs::path source = dir / "annotated.pdf";
    void SetUp() override { fixtures::write_bytes(source, annotated_pdf()); }
};

int num(fz_context* c, pdf_obj* o) { return pdf_to_num(c, o); }

TEST_F(Annotations, LayoutOneKeepsThemAsAnnotationsOfTheirOwnPage) {
    const fs::path out = dir / "out.pdf";
    fixtures::write_pdf(dir / "before.pdf", {{.label = "before"}});
    pdf::merge_selected({dir / "before.pdf", source}, out, 1);
    expect_probes(fixtures::render(out, 1, 1), false);

    // The source's page tree did not come along through /P or the link: two pages of
    // the annotated source and one before it, no more.
    EXPECT_EQ(fixtures::count_objects(out, "Page"), 3);
    EXPECT_EQ(fixtures::count_objects(out, "Pages"), 1);

    pdf::Document doc = pdf::open_pdf(out.c_str());
    struct Seen {
        int annots, with_own_page, widget_parent, widget_ft_btn, widget_v_on, link_to_page_2, link_actions, uri,
            popup_pairs;
    };
    const Seen seen = mupdf_call([&](fz_context* c) noexcept {
        Seen s{};
        pdf_obj* page = pdf_lookup_page_obj(c, doc.get(), 1);
        pdf_obj* page2 = pdf_lookup_page_obj(c, doc.get(), 2);
        pdf_obj* annots = pdf_dict_get(c, page, PDF_NAME(Annots));
        s.annots = pdf_array_len(c, annots);
        pdf_obj *text = nullptr, *popup = nullptr;
        for (int i = 0; i < s.annots; ++i) {
            pdf_obj* a = pdf_array_get(c, annots, i);
            s.with_own_page += num(c, pdf_dict_get(c, a, PDF_NAME(P))) == num(c, page);
            pdf_obj* subtype = pdf_dict_get(c, a, PDF_NAME(Subtype));
            if (pdf_name_eq(c, subtype, PDF_NAME(Widget))) {
                s.widget_parent += pdf_dict_get(c, a, PDF_NAME(Parent)) != nullptr;
                s.widget_ft_btn += pdf_name_eq(c, pdf_dict_get(c, a, PDF_NAME(FT)), PDF_NAME(Btn));
                s.widget_v_on += std::string_view(pdf_to_name(c, pdf_dict_get(c, a, PDF_NAME(V)))) == "On";
            }
            if (pdf_name_eq(c, subtype, PDF_NAME(Link))) {
                pdf_obj* dest = pdf_dict_get(c, a, PDF_NAME(Dest));
                if (dest) s.link_to_page_2 += num(c, pdf_array_get(c, dest, 0)) == num(c, page2);
                pdf_obj* action = pdf_dict_get(c, a, PDF_NAME(A));
                if (action) ++s.link_actions;
                s.uri += std::string_view(pdf_to_text_string(c, pdf_dict_get(c, action, PDF_NAME(URI)))) ==
                         "https://example.com/track/17";
            }
            if (pdf_name_eq(c, subtype, PDF_NAME(Text))) text = a;
            if (pdf_name_eq(c, subtype, PDF_NAME(Popup))) popup = a;
        }
        if (text && popup)
            s.popup_pairs = num(c, pdf_dict_get(c, text, PDF_NAME(Popup))) == num(c, popup) &&
                            num(c, pdf_dict_get(c, popup, PDF_NAME(Parent))) == num(c, text);
        return s;
    });
    EXPECT_EQ(seen.annots, 9);
    EXPECT_EQ(seen.with_own_page, 9) << "/P names the output page";
    EXPECT_EQ(seen.widget_parent, 0) << "the field's parent is not copied";
    EXPECT_EQ(seen.widget_ft_btn, 1) << "the field's type moved onto the widget";
    EXPECT_EQ(seen.widget_v_on, 1);
    EXPECT_EQ(seen.link_to_page_2, 1) << "the link points at the copied page 2";
    EXPECT_EQ(seen.link_actions, 1) << "only the web link keeps an action";
    EXPECT_EQ(seen.uri, 1);
    EXPECT_EQ(seen.popup_pairs, 1) << "note and pop-up still point at each other";
}

TEST_F(Annotations, GridLayoutsDrawTheAppearancesAViewerShowsWithThePage) {
    const fs::path out = dir / "out4.pdf";
    pdf::merge_selected({source}, out, 4);
    const fixtures::Raster r = fixtures::render(out, 0, 2);
    expect_probes(r, true);
    // The page's own content is there too, and the annotations stay inside the cell.
    EXPECT_GT(fixtures::ink_share(r, in_cell(on_page(10, 10, 30, 30, 2))), 0.9);
    EXPECT_LT(fixtures::ink_share(r, pdf::cell_rect(4, 2)), 0.001);
}

// What layout 1 kept on the first page of a merge of one source: its annotations in
// order, each as "Subtype" with " ->N" for a link to output page N (1-based) and
// " T=(name)" for a field's name.
std::vector<std::string> first_page_annotations(const fs::path& out) {
    pdf::Document doc = pdf::open_pdf(out.c_str());
    const int n = mupdf_call([&](fz_context* c) noexcept {
        return pdf_array_len(c, pdf_dict_get(c, pdf_lookup_page_obj(c, doc.get(), 0), PDF_NAME(Annots)));
    });
    std::vector<std::string> seen;
    for (int i = 0; i < n; ++i) {
        struct Seen {
            const char* subtype;
            int target;
            const char* name;
        };
        const Seen a = mupdf_call([&](fz_context* c) noexcept {
            pdf_obj* annot =
                pdf_array_get(c, pdf_dict_get(c, pdf_lookup_page_obj(c, doc.get(), 0), PDF_NAME(Annots)), i);
            pdf_obj* dest = pdf_dict_get(c, annot, PDF_NAME(Dest));
            const int target = dest ? pdf_lookup_page_number(c, doc.get(), pdf_array_get(c, dest, 0)) : -1;
            return Seen{pdf_to_name(c, pdf_dict_get(c, annot, PDF_NAME(Subtype))), target,
                        pdf_dict_get_text_string(c, annot, PDF_NAME(T))};
        });
        std::string line = a.subtype;
        if (a.target >= 0) line += " ->" + std::to_string(a.target + 1);
        if (*a.name) line += std::string(" T=") + a.name;
        seen.push_back(line);
    }
    return seen;
}

TEST(DamagedAnnotations, AreReadAroundAndTheWaybillIsListedAsRepaired) {
    struct Case {
        const char* what;
        std::string annots;                     // page 1's /Annots
        std::vector<fixtures::RawObject> more;  // objects 5, 6, ...
        std::vector<std::string> kept;          // on page 1 in layout 1
        bool repaired = true;                   // in layout 1
        bool repaired_in_grid = false;
    };
    const std::string link = " /Type /Annot /Subtype /Link /Rect [10 10 50 50] /Border [0 0 0]";
    const std::string web = link + " /A << /S /URI /URI (https://example.com/t) >>";
    const std::string widget = " /Type /Annot /Subtype /Widget /Rect [10 60 50 100] /FT /Tx";
    std::vector<fixtures::RawObject> deep;
    deep.push_back({" /Type /Annot /Subtype /Widget /Rect [10 60 50 100] /Parent 6 0 R"});
    for (int i = 0; i < 40; ++i)
        deep.push_back({" /T (f" + std::to_string(i) + ") /Parent " + std::to_string(7 + i) + " 0 R"});
    deep.push_back({" /T (top) /FT /Btn"});
    const std::vector<Case> cases = {
        {"a link listed twice", "[5 0 R 5 0 R]", {{link + " /Dest [4 0 R /Fit]"}}, {"Link ->2"}, true, true},
        // Some writers name the page by its number: the link still leads there.
        {"a link to a page number", "[5 0 R]", {{link + " /Dest [1 /Fit]"}}, {"Link ->2"}, false},
        {"a link to a page outside the page tree",
         "[5 0 R 6 0 R]",
         {{link + " /Dest [7 0 R /Fit]"}, {web}, {" /Type /Page /MediaBox [0 0 10 10]"}},
         {"Link"}},
        {"a link to a page beyond the file", "[5 0 R 6 0 R]", {{link + " /Dest [99 0 R /Fit]"}, {web}}, {"Link"}},
        {"a link to a name no destination has", "[5 0 R]", {{link + " /Dest (nowhere)"}}, {}},
        {"a go-to action to a page outside the tree",
         "[5 0 R]",
         {{link + " /A << /S /GoTo /D [6 0 R /Fit] >>"}, {" /Type /Page /MediaBox [0 0 10 10]"}},
         {}},
        {"a widget whose unnamed parents loop",
         "[5 0 R]",
         {{widget + " /Parent 6 0 R"}, {" /Parent 7 0 R"}, {" /Parent 6 0 R"}},
         {"Widget"}},
        {"a widget that is its own parent", "[5 0 R]", {{widget + " /Parent 5 0 R"}}, {"Widget"}},
        {"a field chain that loops past its names",
         "[5 0 R]",
         {{" /Type /Annot /Subtype /Widget /Rect [10 60 50 100] /Parent 6 0 R"},
          {" /T (inner) /Parent 7 0 R"},
          {" /T (outer) /FT /Tx /Parent 6 0 R"}},
         {"Widget T=outer.inner"}},
        {"a field chain deeper than any form",
         "[5 0 R]",
         deep,
         {"Widget "
          "T=f31.f30.f29.f28.f27.f26.f25.f24.f23.f22.f21.f20.f19.f18.f17.f16.f15.f14.f13.f12.f11.f10.f9.f8.f7.f6.f5.f4."
          "f3.f2.f1.f0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<fixtures::RawObject> objects{
            {" /Type /Catalog /Pages 2 0 R"},
            {" /Type /Pages /Kids [3 0 R 4 0 R] /Count 2"},
            {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Annots " + c.annots},
            {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842]"}};
        objects.insert(objects.end(), c.more.begin(), c.more.end());
        fixtures::TempDir dir;
        fixtures::write_bytes(dir / "w.pdf", fixtures::raw_pdf(objects));
        const pdf::MergeCounts one = pdf::merge_selected({dir / "w.pdf"}, dir / "one.pdf", 1);
        EXPECT_EQ(one.total_pages, 2);
        EXPECT_EQ(one.repaired.size(), c.repaired ? 1u : 0u);
        EXPECT_EQ(first_page_annotations(dir / "one.pdf"), c.kept);
        for (int nup : {4, 6, 9}) {
            const pdf::MergeCounts grid =
                pdf::merge_selected({dir / "w.pdf"}, dir / ("grid" + std::to_string(nup) + ".pdf"), nup);
            EXPECT_EQ(grid.final_sheets, 1) << nup;
            EXPECT_EQ(grid.repaired.size(), c.repaired_in_grid ? 1u : 0u) << nup;
        }
    }
}

// The six numbers before each "cm" in every stream of a PDF: the transforms its
// content and forms apply.
std::vector<std::vector<double>> cm_operands(const fs::path& pdf) {
    pdf::Document doc = pdf::open_pdf(pdf.c_str());
    std::vector<std::vector<double>> found;
    for (int num = 1; num < pdf::xref_len(doc.get()); ++num) {
        if (!mupdf_call([&](fz_context* c) noexcept { return pdf_obj_num_is_stream(c, doc.get(), num); })) continue;
        const pdf::Buffer bytes(
            mupdf_call([&](fz_context* c) noexcept { return pdf_load_stream_number(c, doc.get(), num); }));
        std::istringstream in{std::string(pdf::bytes_of(bytes))};
        std::vector<double> numbers;
        for (std::string token; in >> token;) {
            if (token == "cm" && numbers.size() >= 6) found.emplace_back(numbers.end() - 6, numbers.end());
            try {
                numbers.push_back(std::stod(token));
            } catch (const std::exception&) {
                numbers.clear();
            }
        }
    }
    return found;
}

// An appearance whose BBox has no area would be drawn through a transform that
// collapses it, which viewers may refuse: the grid layouts leave it out, and draw the
// page as they would without it.
TEST(DamagedAnnotations, AnAppearanceWithoutAreaIsNotDrawnInTheGrid) {
    for (const char* bbox : {"[0 0 0 0]", "[0 0 50 0]", "[20 20 20 80]"}) {
        SCOPED_TRACE(bbox);
        fixtures::TempDir dir;
        fixtures::write_bytes(
            dir / "w.pdf", fixtures::raw_pdf({
                               {" /Type /Catalog /Pages 2 0 R"},
                               {" /Type /Pages /Kids [3 0 R] /Count 1"},
                               {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R /Annots [5 0 R]"},
                               {"", "0 g 10 10 20 20 re f"},
                               {" /Type /Annot /Subtype /Stamp /Rect [100 600 300 700] /F 4 /AP << /N 6 0 R >>"},
                               {" /Type /XObject /Subtype /Form /BBox " + std::string(bbox), "0 g 0 0 100 100 re f"},
                           }));
        const fs::path out = dir / "out.pdf";
        EXPECT_EQ(pdf::merge_selected({dir / "w.pdf"}, out, 4).total_pages, 1);
        const auto transforms = cm_operands(out);
        EXPECT_FALSE(transforms.empty());
        for (const auto& m : transforms) EXPECT_NE(m[0] * m[3] - m[1] * m[2], 0) << m[0] << " " << m[3];
        const fixtures::Raster r = fixtures::render(out, 0, 2);
        EXPECT_GT(fixtures::ink_share(r, in_cell(on_page(10, 10, 30, 30, 2))), 0.9);
    }
}

TEST(AppearanceMatrix, MapsTheTurnedBBoxOntoTheRectangle) {
    struct Case {
        const char* what;
        pdf::Rect rect, bbox;
        pdf::Matrix matrix;
        const char* wanted;
    };
    const Case cases[] = {
        {"same size", {10, 20, 110, 70}, {0, 0, 100, 50}, {1, 0, 0, 1, 0, 0}, "1 0 0 1 10 20"},
        {"scaled on each axis", {100, 600, 300, 700}, {0, 0, 100, 50}, {1, 0, 0, 1, 0, 0}, "2 0 0 2 100 600"},
        {"bbox not at the origin", {0, 0, 50, 50}, {10, 10, 60, 110}, {1, 0, 0, 1, 0, 0}, "1 0 0 0.5 -10 -5"},
        {"turned by its matrix", {350, 450, 450, 550}, {0, 0, 50, 100}, {0, 1, -1, 0, 0, 0}, "1 0 0 2 450 450"},
        {"no area", {0, 0, 10, 10}, {0, 0, 0, 10}, {1, 0, 0, 1, 0, 0}, "0 0 0 0 0 0"},
    };
    for (const Case& c : cases) {
        const pdf::Matrix m = pdf::appearance_matrix(c.rect, c.bbox, c.matrix);
        std::string got;
        for (double v : {m.a, m.b, m.c, m.d, m.e, m.f}) {
            std::string n = pdf::format_number(v, 4);
            while (n.back() == '0') n.pop_back();
            if (n.back() == '.') n.pop_back();
            if (n == "-0") n = "0";
            if (!got.empty()) got += ' ';
            got += n;
        }
        EXPECT_EQ(got, c.wanted) << c.what;
    }
}

}  // namespace
