#include "fuzz/pdf_merge_seeds.hpp"

#include <string>

#include "support/raw_pdf.hpp"
#include "workload/waybill.hpp"

namespace fuzz {

namespace {

using fixtures::RawObject;

const std::string FONT = " /Resources << /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >>";
const std::string CONTENT = "0 g 50 50 495 742 re f\nBT /F1 24 Tf 200 400 Td (Seed) Tj ET\n";
const std::string PAGE = " /Type /Page /MediaBox [0 0 595 842] /Contents 3 0 R" + FONT;

// 1 the catalog, 2 the root node with `root` as its entries, 3 a page's content, then `more`.
std::string tree(const std::string& root, std::vector<RawObject> more) {
    std::vector<RawObject> objects{{" /Type /Catalog /Pages 2 0 R"}, {root}, {"", CONTENT}};
    objects.insert(objects.end(), more.begin(), more.end());
    return fixtures::raw_pdf(objects);
}

// Two pages, the first with the annotations `annots` (objects 5, 6, ... are `more`).
std::string annotated(const std::string& annots, std::vector<RawObject> more) {
    std::vector<RawObject> objects{{" /Type /Catalog /Pages 2 0 R"},
                                   {" /Type /Pages /Kids [4 0 R 5 0 R] /Count 2"},
                                   {"", CONTENT},
                                   {PAGE + " /Parent 2 0 R /Annots " + annots},
                                   {PAGE + " /Parent 2 0 R"}};
    objects.insert(objects.end(), more.begin(), more.end());
    return fixtures::raw_pdf(objects);
}

}  // namespace

std::vector<Seed> pdf_merge_seeds() {
    std::vector<Seed> seeds;
    workload::WaybillFactory factory;
    seeds.push_back({"label.pdf", factory.make(11, 0, workload::PageSize::a6).pdf});
    seeds.push_back({"a4.pdf", factory.make(11, 1, workload::PageSize::a4).pdf});
    seeds.push_back({"split.pdf", factory.make(11, 2, workload::PageSize::a6, {.content_streams = 3}).pdf});
    seeds.push_back({"stamp.pdf", factory.make(11, 3, workload::PageSize::a6, {.transparency = true}).pdf});

    const std::string link = " /Type /Annot /Subtype /Link /Rect [10 10 50 50]";
    const std::string widget = " /Type /Annot /Subtype /Widget /Rect [10 60 50 100] /FT /Tx";
    const std::string ap = " /AP << /N 9 0 R >>";
    const RawObject appearance{" /Type /XObject /Subtype /Form /BBox [0 0 40 40]", "0 g 0 0 40 40 re f"};
    const std::string plain = tree(" /Type /Pages /Kids [4 0 R] /Count 1", {{PAGE}});
    seeds.push_back({"plain.pdf", plain});
    seeds.push_back({"kid_far.pdf", tree(" /Type /Pages /Kids [8000000 0 R] /Count 1", {})});
    seeds.push_back({"kid_near.pdf", tree(" /Type /Pages /Kids [100 0 R] /Count 1", {})});
    seeds.push_back({"root_loop.pdf", tree(" /Type /Pages /Kids [4 0 R 2 0 R] /Count 2", {{PAGE}})});
    seeds.push_back(
        {"node_loop.pdf", tree(" /Type /Pages /Kids [4 0 R] /Count 1",
                               {{" /Type /Pages /Kids [5 0 R 2 0 R] /Count 1"}, {PAGE + " /Parent 4 0 R"}})});
    seeds.push_back({"count.pdf", tree(" /Type /Pages /Kids [4 0 R] /Count 2147483647", {{PAGE}})});
    seeds.push_back({"inherit.pdf", tree(" /Type /Pages /Kids [4 0 R] /Count 1 /Rotate 90",
                                         {{" /Kids [5 0 R] /MediaBox [0 0 300 400] /CropBox [10 10 290 390]" + FONT},
                                          {" /Type /Page /Contents 3 0 R /Parent 5 0 R"}})});
    seeds.push_back({"links.pdf", annotated("[6 0 R 6 0 R 7 0 R 8 0 R]", {{link + " /Dest [5 0 R /XYZ 0 0 0]"},
                                                                          {link + " /Dest [10 0 R /Fit]"},
                                                                          {link + " /A << /S /GoTo /D (nowhere) >>"},
                                                                          appearance,
                                                                          {" /Type /Page /MediaBox [0 0 10 10]"}})});
    seeds.push_back(
        {"fields.pdf",
         annotated("[6 0 R 7 0 R 10 0 R]", {{widget + ap + " /Parent 7 0 R"},
                                            {" /Type /Annot /Subtype /Widget /Rect [60 60 90 90] /Parent 8 0 R /AS /On"
                                             " /AP << /N << /On 9 0 R >> >>"},
                                            {" /T (a) /Parent 6 0 R /Kids [7 0 R]"},
                                            appearance,
                                            {" /Type /Annot /Subtype /Text /Rect [0 0 9 9] /Popup 11 0 R /IRT 6 0 R"},
                                            {" /Type /Annot /Subtype /Popup /Rect [0 0 9 9] /Parent 10 0 R"}})});
    seeds.push_back({"twice.pdf", tree(" /Type /Pages /Kids [4 0 R] /Count 1",
                                       {{" /Type /Page /MediaBox [0 0 595 842] /Contents [3 0 R 5 0 R]" + FONT},
                                        {" /Filter [/FlateDecode /FlateDecode]", fixtures::deflated_twice(4096)}})});
    seeds.push_back({"cut.pdf", plain.substr(0, plain.find("xref"))});
    return seeds;
}

}  // namespace fuzz
