// Sources a careful user and an attacker bring: files cut short, locked with a
// password, without pages, with content compressed twice; and outputs that cannot be
// written. The engine either fails naming the waybill, or merges and says it repaired.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "diag/errors.hpp"
#include "pdf/merge.hpp"
#include "pdf/mupdf.hpp"
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
std::string page_pdf(const std::string& contents_entry, const std::vector<RawObject>& more, const std::string& font = FONT) {
    std::vector<RawObject> objects{{" /Type /Catalog /Pages 2 0 R"},
                                   {" /Type /Pages /Kids [3 0 R] /Count 1"},
                                   {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842]" + contents_entry + font}};
    objects.insert(objects.end(), more.begin(), more.end());
    return fixtures::raw_pdf(objects);
}

std::string bars() {
    std::string content = "0 g 50 50 495 742 re f\n1 g\n";
    for (int i = 0; i < 2000; ++i) content += std::to_string(60 + i % 470) + " " + std::to_string(60 + i / 4) + " 1 1 re f\n";
    return content;
}

// The key and name of a merge's failure, or "ok".
std::string outcome(const std::vector<pdf::Source>& files, const fs::path& out, int nup, pdf::MergeCounts* counts = nullptr) {
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
    const std::string packed =
        page_pdf(" /Contents 4 0 R", {{" /Filter /FlateDecode", deflated(bars())}});
    const std::string packed_start = packed.substr(packed.find("4 0 obj"));
    const std::string garbage(400, 'g');
    const std::vector<Case> cases = {
        {"cut inside the page's content", whole.substr(0, whole.find(content_start) + 60), {"pdf_content_broken cut.pdf"}},
        {"cut inside compressed content", packed.substr(0, packed.find("4 0 obj") + packed_start.size() / 2),
         {"pdf_content_broken cut.pdf"}},
        {"cut after the content, before the file's end", whole.substr(0, whole.find("xref")), {"ok"}, true},
        {"content that does not decompress", page_pdf(" /Contents 4 0 R", {{" /Filter /FlateDecode", garbage}}),
         {"pdf_content_broken cut.pdf"}},
        {"content whose checksum fails",
         page_pdf(" /Contents 4 0 R",
                  {{" /Filter /FlateDecode", deflated(bars()).substr(0, deflated(bars()).size() - 4) + "\x01\x02\x03\x04"}}),
         {"pdf_content_broken cut.pdf"}},
        // References to objects that are not in the file read as null.
        {"a font that is not in the file", page_pdf(" /Contents 4 0 R", {{"", PAGE_CONTENT}}, " /Resources << /Font << /F1 9 0 R >> >>"),
         {"ok"}},
        {"contents not in the file, beside ones that are",
         page_pdf(" /Contents [4 0 R 77 0 R]", {{"", PAGE_CONTENT}}, " /Resources << /Font 99 0 R /XObject << /X 0 0 R >> >>"),
         {"ok"}},
        {"cut before the page tree", whole.substr(0, whole.find("2 0 obj")), {"pdf_no_pages cut.pdf", "pdf_damaged cut.pdf"}},
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
            EXPECT_EQ(e.text()->values,
                      (std::vector<std::pair<std::string, std::string>>{{"name", "bomb.pdf"}, {"page", "1"}, {"limit", "64"}}));
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
    fixtures::write_bytes(dir / "big.pdf", fixtures::raw_pdf({{" /Type /Catalog /Pages 2 0 R"},
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
