// Sources a careful user and an attacker bring: files cut short, locked with a
// password, without pages, with content compressed twice; and outputs that cannot be
// written. The engine either fails naming the waybill, or merges and says it repaired.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "diag/errors.hpp"
#include "pdf/merge.hpp"
#include "pdf/mupdf.hpp"
#include "pdf/source_pages.hpp"
#include "support/child.hpp"
#include "support/pdf_fixtures.hpp"
#include "support/raw_pdf.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using fixtures::RawObject;

const std::string PAGE_CONTENT = "0 g 50 50 495 742 re f\nBT /F1 24 Tf 200 400 Td (Cut) Tj ET\n";
const std::string FONT = " /Resources << /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >>";

// A one-page PDF: catalog, page tree, page, content; the content object last.
std::string one_page_pdf() {
    return fixtures::raw_pdf({{" /Type /Catalog /Pages 2 0 R"},
                              {" /Type /Pages /Kids [3 0 R] /Count 1"},
                              {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R" + FONT},
                              {"", PAGE_CONTENT}});
}

std::string deflated(const std::string& bytes) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(bytes.data()),
                  static_cast<uLong>(bytes.size()), 9) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

// The same page with its content deflated (a barcode of many bars, as waybills draw
// them), or with `contents` and `font` in place of its own.
std::string page_pdf(const std::string& contents_entry, const std::vector<RawObject>& more,
                     const std::string& font = FONT) {
    std::vector<RawObject> objects{{" /Type /Catalog /Pages 2 0 R"},
                                   {" /Type /Pages /Kids [3 0 R] /Count 1"},
                                   {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842]" + contents_entry + font}};
    objects.insert(objects.end(), more.begin(), more.end());
    return fixtures::raw_pdf(objects);
}

std::string bars() {
    std::string content = "0 g 50 50 495 742 re f\n1 g\n";
    for (int i = 0; i < 2000; ++i)
        content += std::to_string(60 + i % 470) + " " + std::to_string(60 + i / 4) + " 1 1 re f\n";
    return content;
}

// The key and name of a merge's failure, or "ok".
std::string outcome(const std::vector<pdf::Source>& files, const fs::path& out, int nup,
                    pdf::MergeCounts* counts = nullptr) {
    try {
        const pdf::MergeCounts c = pdf::merge_selected(files, out, nup);
        if (counts) *counts = c;
        return "ok";
    } catch (const diag::RuntimeError& e) {
        if (!e.text()) return std::string("untranslated: ") + e.what();
        std::string s = e.text()->key;
        for (const auto& [k, v] : e.text()->values)
            if (k == "name") s += " " + v;
        return s;
    }
}

TEST(DamagedSources, FailByNameOrMergeAndSayTheyWereRepaired) {
    const std::string whole = one_page_pdf();
    const std::string content_start = "4 0 obj";
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<std::string> outcomes;  // any of these
        bool repaired = false;
    };
    const std::string packed = page_pdf(" /Contents 4 0 R", {{" /Filter /FlateDecode", deflated(bars())}});
    const std::string packed_start = packed.substr(packed.find("4 0 obj"));
    const std::string garbage(400, 'g');
    const std::vector<Case> cases = {
        {"cut inside the page's content",
         whole.substr(0, whole.find(content_start) + 60),
         {"pdf_content_broken cut.pdf"}},
        {"cut inside compressed content",
         packed.substr(0, packed.find("4 0 obj") + packed_start.size() / 2),
         {"pdf_content_broken cut.pdf"}},
        {"cut after the content, before the file's end", whole.substr(0, whole.find("xref")), {"ok"}, true},
        {"content that does not decompress",
         page_pdf(" /Contents 4 0 R", {{" /Filter /FlateDecode", garbage}}),
         {"pdf_content_broken cut.pdf"}},
        {"content whose checksum fails",
         page_pdf(" /Contents 4 0 R", {{" /Filter /FlateDecode",
                                        deflated(bars()).substr(0, deflated(bars()).size() - 4) + "\x01\x02\x03\x04"}}),
         {"pdf_content_broken cut.pdf"}},
        // References to objects that are not in the file read as null.
        {"a font that is not in the file",
         page_pdf(" /Contents 4 0 R", {{"", PAGE_CONTENT}}, " /Resources << /Font << /F1 9 0 R >> >>"),
         {"ok"}},
        {"contents not in the file, beside ones that are",
         page_pdf(" /Contents [4 0 R 77 0 R]", {{"", PAGE_CONTENT}},
                  " /Resources << /Font 99 0 R /XObject << /X 0 0 R >> >>"),
         {"ok"}},
        {"cut before the page tree",
         whole.substr(0, whole.find("2 0 obj")),
         {"pdf_no_pages cut.pdf", "pdf_damaged cut.pdf"}},
        {"no page at all",
         fixtures::raw_pdf({{" /Type /Catalog /Pages 2 0 R"}, {" /Type /Pages /Kids [] /Count 0"}}),
         {"pdf_no_pages cut.pdf"}},
        {"a user password", fixtures::encrypted_copy(whole, "secret", "owner"), {"pdf_password cut.pdf"}},
        {"an owner password only", fixtures::encrypted_copy(whole, "", "owner"), {"ok"}},
        {"not a PDF", "%PDF-1.7\nnothing here", {"pdf_damaged cut.pdf"}},
    };
    for (int nup : {1, 4}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", layout " + std::to_string(nup));
            fixtures::TempDir dir;
            fixtures::write_pdf(dir / "a.pdf", {{.label = "A"}});
            fixtures::write_bytes(dir / "cut.pdf", c.bytes);
            pdf::MergeCounts counts;
            const std::string got = outcome({dir / "a.pdf", dir / "cut.pdf"}, dir / "out.pdf", nup, &counts);
            EXPECT_NE(std::find(c.outcomes.begin(), c.outcomes.end(), got), c.outcomes.end()) << got;
            if (got != "ok") {
                EXPECT_FALSE(fs::exists(dir / "out.pdf"));
                continue;
            }
            EXPECT_EQ(counts.total_pages, 2);
            EXPECT_EQ(counts.repaired, c.repaired ? std::vector<fs::path>{dir / "cut.pdf"} : std::vector<fs::path>{});
            // What could be read is on the sheet: the cut page still shows its box.
            const fixtures::Raster r = fixtures::render(dir / "out.pdf", nup == 1 ? 1 : 0, 0.5);
            const pdf::Rect where = nup == 1 ? pdf::Rect{60, 60, 530, 780} : pdf::cell_rect(4, 1);
            EXPECT_GT(fixtures::ink_share(r, where), 0.3);
        }
    }
}

// The waybills MuPDF had to repair are listed in source order, and a file given twice
// in a row once.
TEST(DamagedSources, RepairedOnesAreListedInSourceOrder) {
    const std::string whole = one_page_pdf();
    fixtures::TempDir dir;
    const fs::path good = dir / "good.pdf", r1 = dir / "r1.pdf", r2 = dir / "r2.pdf";
    fixtures::write_pdf(good, {{.label = "A"}});
    fixtures::write_bytes(r1, whole.substr(0, whole.find("xref")));
    fixtures::write_bytes(r2, whole.substr(0, whole.find("trailer")));
    struct Case {
        const char* what;
        std::vector<pdf::Source> sources;
        std::vector<fs::path> repaired;
    };
    const std::vector<Case> cases = {
        {"none repaired", {good, good}, {}},
        {"two, in source order", {r2, good, r1}, {r2, r1}},
        {"one given twice in a row", {good, r1, r1, r2}, {r1, r2}},
    };
    for (int nup : {1, 4}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", layout " + std::to_string(nup));
            const fs::path out = dir / (std::string(c.what) + std::to_string(nup) + ".pdf");
            const pdf::MergeCounts counts = pdf::merge_selected(c.sources, out, nup);
            EXPECT_EQ(counts.total_pages, static_cast<int>(c.sources.size()));
            EXPECT_EQ(counts.repaired, c.repaired);
        }
    }
}

// A source whose page tree is given object by object: 1 the catalog, 2 the root node
// with `root` as its entries, 3 a page's content (a filled box), then `more`.
std::string tree_pdf(const std::string& root, const std::vector<RawObject>& more) {
    std::vector<RawObject> objects{{" /Type /Catalog /Pages 2 0 R"}, {root}, {"", PAGE_CONTENT}};
    objects.insert(objects.end(), more.begin(), more.end());
    return fixtures::raw_pdf(objects);
}

const std::string PAGE = " /Type /Page /MediaBox [0 0 595 842] /Contents 3 0 R" + FONT;

// Nodes 4, 5, ... each the only kid of the one before, `depth` of them under the root,
// and the page below the last.
std::string nested_pdf(int depth) {
    std::vector<RawObject> more;
    for (int i = 0; i < depth; ++i)
        more.push_back({" /Type /Pages /Count 1 /Kids [" + std::to_string(5 + i) + " 0 R]"});
    more.push_back({PAGE});
    return tree_pdf(" /Type /Pages /Count 1 /Kids [4 0 R]", more);
}

TEST(DamagedPageTrees, EndInAnErrorNamingTheWaybillOrMergeAsAViewerReadsThem) {
    struct Case {
        const char* what;
        std::string bytes;
        std::string outcome;
        bool repaired = false;
        std::optional<fixtures::Size> size{};  // of the page in layout 1
    };
    const std::string lost = "pdf_content_broken tree.pdf";
    const std::string damaged = "pdf_damaged tree.pdf";
    const std::string no_pages = "pdf_no_pages tree.pdf";
    const std::vector<Case> cases = {
        {"a kid far beyond the file", tree_pdf(" /Type /Pages /Kids [8000000 0 R] /Count 1", {}), lost},
        {"a kid just beyond the file", tree_pdf(" /Type /Pages /Kids [100 0 R] /Count 1", {}), lost},
        {"a kid numbered 0", tree_pdf(" /Type /Pages /Kids [0 0 R] /Count 1", {}), lost},
        {"a second kid beyond the file", tree_pdf(" /Type /Pages /Kids [4 0 R 99 0 R] /Count 2", {{PAGE}}), lost},
        {"a number for a kid", tree_pdf(" /Type /Pages /Kids [42] /Count 1", {}), lost},
        {"a kid that is null", tree_pdf(" /Type /Pages /Kids [4 0 R] /Count 1", {{"null", {}, true}}), lost},
        {"the root among its own kids", tree_pdf(" /Type /Pages /Kids [4 0 R 2 0 R] /Count 2", {{PAGE}}), damaged},
        {"a node that lists its parent",
         tree_pdf(" /Type /Pages /Kids [4 0 R] /Count 1", {{" /Type /Pages /Kids [5 0 R 2 0 R] /Count 1"}, {PAGE}}),
         damaged},
        {"a page listed twice", tree_pdf(" /Type /Pages /Kids [4 0 R 4 0 R] /Count 2", {{PAGE}}), damaged},
        {"a tree deeper than any writer makes", nested_pdf(pdf::MAX_PAGE_TREE_DEPTH), damaged},
        {"a deep tree within the limit", nested_pdf(pdf::MAX_PAGE_TREE_DEPTH - 2), "ok"},
        {"a huge /Count", tree_pdf(" /Type /Pages /Kids [4 0 R] /Count 2147483647", {{PAGE}}), "ok", true},
        {"a negative /Count", tree_pdf(" /Type /Pages /Kids [4 0 R] /Count -5", {{PAGE}}), "ok", true},
        {"a huge /Count in a node below",
         tree_pdf(" /Type /Pages /Kids [4 0 R] /Count 1", {{" /Type /Pages /Kids [5 0 R] /Count 999999999"}, {PAGE}}),
         "ok"},
        {"/Kids that is no array", tree_pdf(" /Type /Pages /Kids 4 /Count 1", {}), no_pages},
        {"no /Kids", tree_pdf(" /Type /Pages /Count 1", {}), no_pages},
        {"a node without /Type",
         tree_pdf(" /Type /Pages /Kids [4 0 R] /Count 1", {{" /Kids [5 0 R] /Count 1"}, {PAGE}}), "ok"},
        {"a page whose /Parent is itself",
         tree_pdf(" /Type /Pages /Kids [4 0 R] /Count 1", {{PAGE + " /Parent 4 0 R"}}), "ok"},
        {"boxes inherited from a node whose /Parent loops",
         tree_pdf(" /Type /Pages /Kids [4 0 R] /Count 1 /MediaBox [0 0 400 400]",
                  {{" /Type /Pages /Kids [5 0 R] /Count 1 /Parent 4 0 R /MediaBox [0 0 595 842]" + FONT},
                   {" /Type /Page /Parent 4 0 R /Contents 3 0 R"}}),
         "ok", false, fixtures::Size{595, 842}},
    };
    for (int nup : {1, 4, 6, 9}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", layout " + std::to_string(nup));
            fixtures::TempDir dir;
            fixtures::write_pdf(dir / "a.pdf", {{.label = "A"}});
            fixtures::write_bytes(dir / "tree.pdf", c.bytes);
            pdf::MergeCounts counts;
            EXPECT_EQ(outcome({dir / "a.pdf", dir / "tree.pdf"}, dir / "out.pdf", nup, &counts), c.outcome);
            if (c.outcome != "ok") {
                EXPECT_FALSE(fs::exists(dir / "out.pdf"));
                continue;
            }
            EXPECT_EQ(counts.total_pages, 2);
            EXPECT_EQ(counts.repaired, c.repaired ? std::vector<fs::path>{dir / "tree.pdf"} : std::vector<fs::path>{});
            const fixtures::Raster r = fixtures::render(dir / "out.pdf", nup == 1 ? 1 : 0, 0.5);
            const pdf::Rect where = nup == 1 ? pdf::Rect{60, 60, 530, 780} : pdf::cell_rect(nup, 1);
            EXPECT_GT(fixtures::ink_share(r, where), 0.3) << "the page is drawn";
            if (nup == 1 && c.size) {
                const fixtures::Size got = fixtures::page_size(dir / "out.pdf", 1);
                EXPECT_NEAR(got.width, c.size->width, 0.01);
                EXPECT_NEAR(got.height, c.size->height, 0.01);
            }
        }
    }
}

// Several nodes deep, with pages at every level: the pages keep the order a viewer
// shows them in, in every layout.
TEST(DamagedPageTrees, NestedNodesKeepThePagesInTheirOrder) {
    auto page = [](int n) {
        return RawObject{" /Type /Page /MediaBox [0 0 595 842] /Contents " + std::to_string(n) + " 0 R" + FONT};
    };
    auto text = [](const std::string& label) {
        return RawObject{"", "BT /F1 40 Tf 200 400 Td (" + label + ") Tj ET\n"};
    };
    // Root: [P1, node(4){P2, node(5){P3, P4}}, P5]; pages 6..10, their content 11..15.
    const std::string bytes = fixtures::raw_pdf({
        {" /Type /Catalog /Pages 2 0 R"},
        {" /Type /Pages /Kids [6 0 R 4 0 R 10 0 R] /Count 5"},
        {" /Type /Pages /Count 0"},  // an empty node, never listed
        {" /Type /Pages /Kids [7 0 R 5 0 R] /Count 3"},
        {" /Type /Pages /Kids [8 0 R 3 0 R 9 0 R] /Count 2"},
        page(11),
        page(12),
        page(13),
        page(14),
        page(15),
        text("P1"),
        text("P2"),
        text("P3"),
        text("P4"),
        text("P5"),
    });
    fixtures::TempDir dir;
    fixtures::write_bytes(dir / "nested.pdf", bytes);
    for (int nup : {1, 4, 6, 9}) {
        SCOPED_TRACE(nup);
        const fs::path out = dir / ("out" + std::to_string(nup) + ".pdf");
        const pdf::MergeCounts counts = pdf::merge_selected({dir / "nested.pdf"}, out, nup);
        EXPECT_EQ(counts.total_pages, 5);
        EXPECT_TRUE(counts.repaired.empty());
        std::vector<std::string> labels;
        for (int sheet = 0; sheet < fixtures::page_count(out); ++sheet) {
            const auto spots = fixtures::text_spots(out, sheet);
            for (int cell = 0; cell < std::max(nup, 1); ++cell) {
                const pdf::Rect r = nup == 1 ? pdf::Rect{0, 0, 595, 842} : pdf::cell_rect(nup, cell);
                for (const std::string& t : fixtures::texts_in(spots, r)) labels.push_back(t);
            }
        }
        EXPECT_EQ(labels, (std::vector<std::string>{"P1", "P2", "P3", "P4", "P5"}));
    }
}

TEST(DamagedSources, MupdfsOwnWordsAreKeptAsTheDetail) {
    fixtures::TempDir dir;
    fixtures::write_bytes(dir / "b.pdf", "%PDF-1.7 garbage");
    try {
        pdf::merge_selected({dir / "b.pdf"}, dir / "out.pdf", 4);
        FAIL() << "no failure";
    } catch (const diag::RuntimeError& e) {
        ASSERT_NE(e.text(), nullptr);
        EXPECT_EQ(e.text()->key, "pdf_damaged");
        EXPECT_FALSE(e.text()->detail.empty());
    }
}

// Every damaged source of a merge is named in one failure, by the name its caller
// gives it; what is not the source's own damage (memory, a file the disk will not give)
// still stops the merge at once.
TEST(DamagedSources, AreAllNamedInOneFailureInSourceOrder) {
    fixtures::TempDir dir;
    const fs::path good = dir / "good.pdf";
    fixtures::write_pdf(good, {{.label = "A"}});
    fixtures::write_bytes(dir / "garbage.pdf", "%PDF-1.7 garbage");
    fixtures::write_bytes(dir / "locked.pdf", fixtures::encrypted_copy(one_page_pdf(), "secret", "owner"));
    fixtures::write_bytes(dir / "lost.pdf", tree_pdf(" /Type /Pages /Kids [8000000 0 R] /Count 1", {}));
    fixtures::write_bytes(dir / "big.pdf",
                          fixtures::raw_pdf({{" /Type /Catalog /Pages 2 0 R"},
                                             {" /Type /Pages /Kids [3 0 R] /Count 1"},
                                             {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R"},
                                             {"", std::string(32 << 20, ' ')}}));
    const pdf::Source garbage(dir / "garbage.pdf", nullptr, "день 1/garbage.pdf");
    const pdf::Source locked(dir / "locked.pdf", nullptr, "день 2/locked.pdf");
    const pdf::Source lost(dir / "lost.pdf");
    struct Case {
        const char* what;
        std::vector<pdf::Source> sources;
        std::string wanted;
    };
    const std::vector<Case> cases = {
        {"one damaged source keeps its own message", {good, garbage}, "pdf_damaged день 1/garbage.pdf"},
        {"three damaged sources among good ones",
         {garbage, good, locked, good, lost},
         "pdf_damaged_many 3: день 1/garbage.pdf|день 2/locked.pdf|lost.pdf"},
        {"a file the disk does not give stops at once",
         {garbage, dir / "missing.pdf", locked},
         "file_read_failed " + (dir / "missing.pdf").string()},
        {"MuPDF's memory running out stops at once", {garbage, dir / "big.pdf", locked}, "pdf_memory_limit big.pdf"},
    };
    struct Restore {
        ~Restore() { pdf::detail::set_memory_limit(pdf::MUPDF_MEMORY_LIMIT); }
    } restore;
    pdf::mupdf_context();
    pdf::detail::set_memory_limit(24 << 20);
    for (int nup : {1, 4}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", layout " + std::to_string(nup));
            std::string got;
            try {
                pdf::merge_selected(c.sources, dir / "out.pdf", nup);
                got = "ok";
            } catch (const pdf::DamagedSources& e) {
                got = e.text()->key + " " + e.text()->values.at(0).second + ":";
                for (const auto& d : e.sources()) got += (got.back() == ':' ? " " : "|") + d.name;
                // The detail keeps MuPDF's words, each after the name it is about.
                EXPECT_NE(e.text()->detail.find("день 1/garbage.pdf: "), std::string::npos) << e.text()->detail;
                std::string names = e.text()->values.at(1).second;
                EXPECT_EQ(names, "день 1/garbage.pdf\nдень 2/locked.pdf\nlost.pdf");
            } catch (const diag::RuntimeError& e) {
                ASSERT_NE(e.text(), nullptr) << e.what();
                got = e.text()->key + " " + e.text()->values.at(0).second;
            }
            EXPECT_EQ(got, c.wanted);
            EXPECT_FALSE(fs::exists(dir / "out.pdf"));
        }
    }
}

// A page whose content is two streams, the second compressed twice: a few kilobytes
// stored, `decoded` bytes when read.
std::string split_bomb_pdf(std::size_t decoded) {
    return fixtures::raw_pdf({{" /Type /Catalog /Pages 2 0 R"},
                              {" /Type /Pages /Kids [3 0 R] /Count 1"},
                              {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents [4 0 R 5 0 R]" + FONT},
                              {"", PAGE_CONTENT},
                              {" /Filter [/FlateDecode /FlateDecode]", fixtures::deflated_twice(decoded)}});
}

TEST(ContentBomb, SplitContentStopsAtTheLimitAndWholeContentIsNeverDecoded) {
    fixtures::TempDir dir;
    const std::size_t decoded = pdf::MAX_DECODED_CONTENT_BYTES + (16 << 20);
    fixtures::write_bytes(dir / "bomb.pdf", split_bomb_pdf(decoded));
    EXPECT_LT(fs::file_size(dir / "bomb.pdf"), 2000u);
    // Every layout reads the content to see that it is whole, and stops at the limit.
    for (int nup : {1, 4}) {
        try {
            pdf::merge_selected({dir / "bomb.pdf"}, dir / "out.pdf", nup);
            ADD_FAILURE() << "no failure in layout " << nup;
        } catch (const diag::RuntimeError& e) {
            ASSERT_NE(e.text(), nullptr);
            EXPECT_EQ(e.text()->key, "pdf_content_too_large");
            EXPECT_EQ(e.text()->values, (std::vector<std::pair<std::string, std::string>>{
                                            {"name", "bomb.pdf"}, {"page", "1"}, {"limit", "64"}}));
        }
        EXPECT_FALSE(fs::exists(dir / "out.pdf"));
    }
}

TEST(ContentBomb, SplitContentUnderTheLimitIsJoinedAndDrawn) {
    fixtures::TempDir dir;
    fixtures::write_bytes(dir / "split.pdf", split_bomb_pdf(1 << 20));
    const pdf::MergeCounts c = pdf::merge_selected({dir / "split.pdf"}, dir / "out.pdf", 4);
    EXPECT_EQ(c.final_sheets, 1);
    const fixtures::Raster r = fixtures::render(dir / "out.pdf", 0, 0.5);
    EXPECT_GT(fixtures::ink_share(r, pdf::cell_rect(4, 0)), 0.3);
}

TEST(MemoryLimit, AWaybillNeedingMoreThanMupdfMayHoldFailsByName) {
    // With a small limit, a page whose content alone is larger than it.
    struct Restore {
        ~Restore() { pdf::detail::set_memory_limit(pdf::MUPDF_MEMORY_LIMIT); }
    } restore;
    pdf::mupdf_context();
    pdf::detail::set_memory_limit(24 << 20);
    fixtures::TempDir dir;
    fixtures::write_bytes(dir / "big.pdf",
                          fixtures::raw_pdf({{" /Type /Catalog /Pages 2 0 R"},
                                             {" /Type /Pages /Kids [3 0 R] /Count 1"},
                                             {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R"},
                                             {"", std::string(32 << 20, ' ')}}));
    for (int nup : {1, 4}) {
        SCOPED_TRACE(nup);
        try {
            pdf::merge_selected({dir / "big.pdf"}, dir / "out.pdf", nup);
            ADD_FAILURE() << "no failure";
        } catch (const pdf::MemoryLimit& e) {
            ASSERT_NE(e.text(), nullptr) << e.what();
            EXPECT_EQ(e.text()->key, "pdf_memory_limit");
            EXPECT_EQ(e.text()->values.at(0), (std::pair<std::string, std::string>{"name", "big.pdf"}));
        }
        EXPECT_FALSE(fs::exists(dir / "out.pdf"));
    }
    // The context is still usable, within the limit.
    fixtures::write_pdf(dir / "a.pdf", {{.label = "A"}});
    EXPECT_EQ(pdf::merge_selected({dir / "a.pdf"}, dir / "ok.pdf", 4).total_pages, 1);
}

// MuPDF's memory running out once every source is in (the output as a whole is too
// large) is said about the output being saved, not about a waybill. Nothing is left of
// it; when it is the second output, the first one stays in its place for its caller.
TEST(MemoryLimit, RunningOutWhileSavingNamesTheOutputBeingSaved) {
    struct Restore {
        ~Restore() { pdf::detail::set_memory_limit(pdf::MUPDF_MEMORY_LIMIT); }
    } restore;
    pdf::mupdf_context();
    fixtures::TempDir dir;
    fixtures::write_pdf(dir / "in" / "a.pdf", {{.label = "A", .image = true}});
    fixtures::write_pdf(dir / "in" / "b.pdf", {{.label = "B"}});
    const std::vector<pdf::Source> sources{dir / "in" / "a.pdf", dir / "in" / "b.pdf"};
    struct Case {
        std::size_t outputs;  // the last one's save runs out
        const char* named;
        std::set<std::string> left;
    };
    const Case cases[] = {{1, "all.pdf", {}}, {2, "b.pdf", {"all.pdf"}}};
    for (const Case& c : cases) {
        for (int nup : {1, 4}) {
            SCOPED_TRACE(std::to_string(c.outputs) + " output(s), layout " + std::to_string(nup));
            pdf::detail::set_memory_limit(pdf::MUPDF_MEMORY_LIMIT);
            fs::remove_all(dir / "out");
            fs::create_directories(dir / "out");
            std::vector<pdf::MergeOutput> outputs{{dir / "out" / "all.pdf"},
                                                  {dir / "out" / "b.pdf", {}, {false, true}}};
            outputs.resize(c.outputs);
            const pdf::MergeProgress squeeze = [&](const pdf::MergeStep& step) {
                if (step.saving && step.output + 1 == c.outputs) pdf::detail::set_memory_limit(0);
            };
            try {
                pdf::merge_selected(sources, outputs, nup, squeeze);
                ADD_FAILURE() << "no failure";
            } catch (const pdf::MemoryLimit& e) {
                ASSERT_NE(e.text(), nullptr) << e.what();
                EXPECT_EQ(e.text()->key, "merge_memory_limit");
                EXPECT_EQ(e.text()->values.at(0).second, (dir / "out" / c.named).string());
            }
            EXPECT_EQ(fixtures::names_in(dir / "out"), c.left);
        }
    }
}

TEST(MemoryLimit, EveryBlockMupdfHoldsCountsUntilItIsFreed) {
    // Blocks each far below the limit: only their sum can reach it.
    struct Restore {
        ~Restore() { pdf::detail::set_memory_limit(pdf::MUPDF_MEMORY_LIMIT); }
    } restore;
    fz_context* c = pdf::mupdf_context();
    constexpr std::size_t BLOCK = 256 << 10;
    auto blocks_within = [&](std::size_t limit) {
        pdf::detail::set_memory_limit(limit);
        std::vector<void*> held;
        while (held.size() < 1000) {
            void* p = fz_malloc_no_throw(c, BLOCK);
            if (!p) break;
            held.push_back(p);
        }
        for (void* p : held) fz_free(c, p);
        return held.size();
    };
    blocks_within(16 << 20);  // a first failure empties MuPDF's cache
    const std::size_t within_16 = blocks_within(16 << 20);
    const std::size_t within_24 = blocks_within(24 << 20);
    EXPECT_GT(within_16, 40u) << "MuPDF holds little of its own here";
    // 8 MiB more take 32 blocks, less the heap's own share of each.
    EXPECT_GE(within_24 - within_16, 30u);
    EXPECT_LE(within_24 - within_16, 32u);
    EXPECT_EQ(blocks_within(16 << 20), within_16) << "freed blocks are given back to the budget";
}

TEST(OutputFailures, AFullDiskIsSaidInWordsAndLeavesNothing) {
    fixtures::TempDir dir;
    fixtures::write_pdf(dir / "in" / "a.pdf", {{.label = "A", .image = true}});
    fs::create_directories(dir / "out");
    // A file-size limit (always possible) and a full disk (where the system allows a
    // small disk of our own) both come out as "no room".
    for (bool small_disk : {false, true}) {
        SCOPED_TRACE(small_disk ? "full disk" : "file size limit");
        const std::string got = fixtures::run_in_child([&] {
            if (small_disk) {
                if (!fixtures::mount_small_disk(dir / "out", 64 * 1024)) return std::string("skip");
                fixtures::fill_disk(dir / "out");
            } else {
                fixtures::limit_file_size(100);
            }
            try {
                pdf::merge_selected({dir / "in" / "a.pdf"}, dir / "out" / "merged.pdf", 1);
                return std::string("written");
            } catch (const diag::RuntimeError& e) {
                if (!e.text()) return std::string("untranslated: ") + e.what();
                std::string left;
                for (const auto& entry : fs::directory_iterator(dir / "out"))
                    if (entry.path().filename() != "filler") left += " " + entry.path().filename().string();
                return e.text()->key + " " + e.text()->advice + " " + e.text()->values.at(0).second + left;
            }
        });
        if (got == "skip") continue;
        EXPECT_EQ(got, "pdf_write_failed fs_disk_full " + (dir / "out" / "merged.pdf").string());
    }
}

}  // namespace
