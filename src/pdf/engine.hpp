// The merge engine's parts that its units share: writing the output (output.cpp),
// opening sources and keeping their failures (sources.cpp), checking a source page
// before it is copied (page_checks.cpp), making annotations ready to be copied
// (annotations.cpp), layout 1 (merge_1up.cpp) and layouts 4, 6 and 9 (merge_nup.cpp).
// Only the engine includes this header; pdf/merge.hpp is what the rest of the program
// sees.
//
// Every function here runs on the thread that uses the MuPDF context. A pdf_obj* or
// pdf_document* passed in is borrowed: it belongs to its document and is neither kept
// nor dropped unless said. Where MuPDF fails, the function throws diag::RuntimeError
// with MuPDF's message (MemoryLimit when MuPDF's memory runs out), as mupdf_call
// raises them; each declaration names what else it throws, or that it does not throw.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "diag/errors.hpp"
#include "pdf/dedup.hpp"
#include "pdf/merge.hpp"
#include "pdf/mupdf.hpp"
#include "pdf/source_pages.hpp"

namespace pdf::detail {

// --- writing the output --------------------------------------------------------------

// Writes `doc` to its place in one step: MuPDF writes a staged temporary file beside
// output_path, flushed to disk, which `place` then moves into place (by default to
// output_path, never over an existing file). Returns where the file was put. Throws
// diag::RuntimeError "pdf_write_failed" naming output_path (with the system's advice
// when the system gave a reason: a full disk, no access) and MemoryLimit as MuPDF
// raised it; nothing is left beside output_path then.
std::filesystem::path save_document(pdf_document* doc, const std::filesystem::path& output_path, const Placer& place);

// --- sources -------------------------------------------------------------------------

// The failure of the source that messages call `name` (its display name): catalogue
// message `key` with {name}, and `detail` (MuPDF's or the system's words) as its
// detail. Throws only std::bad_alloc.
diag::Text source_text(std::string key, const std::string& name, std::string detail = {});

// The failures of sources that cannot be merged, kept while the merge goes on to the
// next source, so that one message names every damaged waybill of an archive (the
// user downloads them again at once, not one per run).
class DamagedList {
public:
    // Runs work(), the work on the source called `name`. A failure without a catalogue
    // message names the source: MuPDF's own message ("no objects found") does not say
    // which of many waybills is damaged, and is no text for the user, so it becomes the
    // detail of "pdf_damaged", or of MemoryLimit "pdf_memory_limit" when MuPDF's memory
    // ran out. Then a failure that lies in the source itself (damaged, locked by a
    // password, without pages, with broken or too large content) is kept, and any
    // other is thrown on at once (a file that cannot be read from the disk, MuPDF's
    // memory running out, the output).
    void run(const std::string& name, const std::function<void()>& work);

    // Throws the one failure kept as it was, or DamagedSources naming every source kept
    // in the order they ran; returns when none was kept.
    void throw_if_any() const;

private:
    std::vector<diag::RuntimeError> failures_;
    std::vector<std::string> names_;  // the source of each failure
};

// Runs `work`, a merge or the save of the output at output_path. MuPDF's memory
// running out outside any one source (the output as a whole is too large) becomes
// MemoryLimit "merge_memory_limit" naming output_path; every other failure passes as
// it is.
void run_for_output(const std::filesystem::path& output_path, const std::function<void()>& work);

// Opens a source: through the file still open from unpacking when there is one, else
// from its path; `name` is its display name. Throws diag::RuntimeError
// "file_read_failed" with the system's reason when the file cannot be opened or read,
// "pdf_password" when it is locked by a user password, and MuPDF's message (no
// catalogue message: a damaged file, for DamagedList to name) when MuPDF cannot parse
// it.
Document open_source(const Source& source, const std::string& name);

// Whether MuPDF had to repair the document (so far: it may repair while it reads).
bool was_repaired(pdf_document* doc);

// --- page checks ---------------------------------------------------------------------

// Replaces every reference to an object that is not in the file (an object number
// outside its cross-reference table) by null, in everything page `page` reaches but its
// page tree, as the PDF standard and every viewer read such a reference: grafting
// would refuse it. `page_num` is the page's object number (0 for a page written in
// place in its node). `seen` holds the objects visited for this source, so a shared
// font or image is walked once per source. Throws MuPDF's failures.
void null_missing_references(pdf_obj* page, int page_num, SeenObjects& seen);

// The failure of page `page_index` (0-based) of the source called `name` whose content
// cannot be read whole ("pdf_content_broken", with `detail`). Throws only
// std::bad_alloc.
diag::RuntimeError content_broken(const std::string& name, int page_index, std::string detail);

// The failure of page `page_index` (0-based) of the source called `name` whose content
// decodes to more than MAX_DECODED_CONTENT_BYTES ("pdf_content_too_large"). Throws only
// std::bad_alloc.
diag::RuntimeError content_too_large(const std::string& name, int page_index);

// Reads the content of page `page` in full, decoded, as a viewer draws it, and fails
// when it cannot be read whole: the page object itself is lost, a content stream breaks
// off or does not decompress, or (in a file MuPDF had to repair: `repaired`) a content
// stream runs into the end of the file or is missing altogether. A repaired file whose
// pages read in full is merged (and listed as repaired); a reference to an object that
// is not in an intact file reads as null, an empty page. Throws content_broken or
// content_too_large for page `page_index` of source `name`, and MemoryLimit.
void check_page_content(pdf_obj* page, bool repaired, int page_index, const std::string& name);

// --- annotations ---------------------------------------------------------------------

// The flags (/F) of annotation `annot`. For use inside mupdf_call: throws no C++
// exception, MuPDF's errors leave by its longjmp.
int annotation_flags(fz_context* c, pdf_obj* annot) noexcept;

// Leaves one copy of each annotation that a page's /Annots array `annots` lists more
// than once: the copies would be copied, and drawn, twice, and a link's copy would have
// its destination taken apart twice. Returns whether any copy was left out. Throws
// MuPDF's failures.
bool drop_repeated_annotations(pdf_obj* annots);

// What prepare_annotations made of a page's annotations.
struct PreparedAnnotations {
    // For each annotation left in /Annots, in order: the 0-based page of the source its
    // link points at, or -1.
    std::vector<int> link_targets;
    // Something had to be read around damage (a link left out, a field chain cut).
    bool repaired = false;
};

// Makes the annotations of a source page (its /Annots array `annots`, in source `src`
// whose pages are `pages`) ready to be grafted onto a page of another document.
// Grafting follows every reference, so whatever leads outside the page (/P to the page
// and so to the whole page tree, /Parent to a form field, /Popup and /IRT to
// annotations of other pages, a link to a page, additional actions) is cut here, in
// the source document held in memory (never saved). A widget takes its full name and
// inheritable field entries from its field parents, which are not copied. A link whose
// page is not in the source (a page outside its page tree, a name no destination has)
// leads nowhere and is left out of /Annots; a link to a page of the source keeps its
// view with null for the page, to be put back once that page is in the output. The
// page is expected to list each annotation once (drop_repeated_annotations). Throws
// MuPDF's failures.
PreparedAnnotations prepare_annotations(pdf_document* src, pdf_obj* annots, const SourcePages& pages);

// --- layout 1, and what the grid layouts take from it --------------------------------

// The output's page tree: one flat /Kids array under the root /Pages node, appended
// to at its end. MuPDF's pdf_insert_page finds the end by walking the tree from the
// first page, which makes a merge of n pages cost n * n / 2 steps.
class PageTree {
public:
    // The page tree of `doc`, a document made by create_pdf. Throws MuPDF's failures.
    explicit PageTree(pdf_document* doc);

    // Appends `page`, a page object of the same document (a reference), as its last
    // page. Throws MuPDF's failures.
    void append(pdf_obj* page);

private:
    pdf_obj* pages_ = nullptr;  // borrowed from the document
    pdf_obj* kids_ = nullptr;
    int count_ = 0;
};

// One source on its way into the output: opened once for the whole merge, its pages
// found by one walk over its page tree, with a graft map of its own so that what its
// pages share is copied once. Objects numbered from `first_new_object` on are the ones
// its copy adds to the output.
struct SourceCopy {
    // Opens `source`, called `source_name` in messages, to be copied into `out` (which
    // must outlive the copy). Throws as open_source, "pdf_no_pages" for a source
    // without pages, content_broken for the first page that is lost ("page object
    // lost"), and MuPDF's message for a page tree that cannot be walked (walk_pages).
    SourceCopy(pdf_document* out, const Source& source, const std::string& source_name);

    int pages() const { return tree.count(); }
    // Page `index` (0-based, below pages()), borrowed from the source.
    pdf_obj* page(int index) const { return tree.pages[static_cast<std::size_t>(index)].get(); }

    // Makes page `index` ready to be copied: references to objects that are not in the
    // file read as null (null_missing_references), its annotations listed once each
    // (drop_repeated_annotations), and its content read in full (check_page_content).
    // Throws as check_page_content.
    void prepare_page(int index);

    std::string name;
    Document doc;
    SourcePages tree;
    GraftMap map;
    int first_new_object;
    SeenObjects seen;  // objects whose references null_missing_references has looked at
    // MuPDF repaired the file, or its page tree, field chains or links were read around
    // damage: merged as far as it reads, and listed for the user to check.
    bool repaired = false;
};

// --- what both layouts share (merge.cpp) ---------------------------------------------

// Copies the sources in order: copy(source, name) for each once `arrive`, if given, has
// returned for it, with its display name, run by a DamagedList, so that a source that
// fails in itself does not stop the others; `progress` is told after each source. Then
// throws what the DamagedList kept. Any other failure of `copy`, and whatever `arrive`
// throws, is thrown at once.
void copy_sources(const std::vector<Source>& sources, const SourceArrival& arrive, const MergeProgress& progress,
                  const std::function<void(const Source& source, const std::string& name)>& copy);

// --- an output before it is saved, and a second one made of its work ----------------

// How a page copied into a grid layout is shown: its visible box and the transform
// that turns it upright (pdf_page_obj_transform).
struct PageView {
    fz_rect visible;
    fz_matrix ctm;
};

// A merged output not yet saved, and what the merge knew of each source: where its
// pages are among the pages copied, whether it was repaired, and for the grid layouts
// how each page copied is shown (its form is "Fm<cell>" on its sheet).
struct Built {
    Document doc;
    MergeCounts counts;
    std::vector<int> first_page;  // per source, and the number of pages copied at the end
    std::vector<bool> repaired;   // per source
    std::vector<PageView> views;  // grid layouts: per page copied
};

// Ends the copy of a source whose pages are all in the output: lists `file` in
// counts.repaired when the source was repaired (not again when it is the file listed
// last: the same file given twice in a row), drops the source's graft map, merges the
// objects its copy added with those kept before (ObjectMerger), notes where its pages
// are and whether it was repaired, and adds its pages to counts.total_pages. Returns
// where each merged object went. Throws MuPDF's failures.
Remap finish_source(SourceCopy& source, const std::filesystem::path& file, ObjectMerger& merger, Built& built);

// Turns the saved output `built` into the output of the sources `takes` flags, in
// their order, from what the saved one holds: layout 1 keeps their pages; the grid
// layouts place their pages' forms on new sheets. What no longer belongs to the
// output goes at its save (pdf_write_document drops what the pages do not reach).
// `sources` are the merge's. Returns its counts (MergeCounts::written left empty).
// Throws MuPDF's failures.
MergeCounts keep_pages(Built& built, const std::vector<bool>& takes, const std::vector<Source>& sources);
MergeCounts regrid_pages(Built& built, const std::vector<bool>& takes, const std::vector<Source>& sources, int nup);

// The indexes, among the pages copied, of the pages of the sources `takes` flags, in
// order; fills in `counts` (all but the sheets) as the output of those sources alone
// has them. Does not throw but std::bad_alloc.
std::vector<int> pages_taken(const Built& built, const std::vector<bool>& takes, MergeCounts& counts,
                             const std::vector<Source>& sources);

// Tells `progress`, if any, that the save of output `output` of a merge of `sources`
// sources begins.
// Does not throw (a progress callback must not).
void tell_saving(const MergeProgress& progress, std::size_t sources, std::size_t output);

// --- the layouts ----------------------------------------------------------------------

// Layout 1 (merge_1up.cpp) and layouts 4, 6 and 9 (merge_nup.cpp, diag::InvalidValue for
// any other nup), as merge_selected describes them, up to the save.
Built merge_1up(const std::vector<Source>& pdf_files, const SourceArrival& arrive, const MergeProgress& progress);
Built merge_nup(const std::vector<Source>& pdf_files, int nup, const SourceArrival& arrive,
                const MergeProgress& progress);

}  // namespace pdf::detail
