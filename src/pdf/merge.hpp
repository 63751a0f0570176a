// The merge engine: writes one PDF from an ordered list of source PDFs, either one
// source page per sheet (layout 1) or 4, 6 or 9 source pages scaled into a grid on
// portrait A4 sheets (the grid is in pdf/geometry.hpp).
//
// Paths are UTF-8.
// Every function here runs on the thread that uses the MuPDF context.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <utility>
#include <vector>

#include "diag/errors.hpp"
#include "pdf/geometry.hpp"
#include "platform/scratch_file.hpp"

namespace pdf {

// One source PDF: its path; where its bytes already are, when they are: the file
// still open from unpacking, which is then read instead of the path being opened again,
// or the bytes in memory (borrowed: they must outlive the merge), whose path then only
// names it; and the name that messages give it (UTF-8: a waybill's path inside its
// archive, say), its file name when empty. Any path converts to a source of its own.
struct Source {
    Source(std::filesystem::path p) : path(std::move(p)) {}  // NOLINT(google-explicit-constructor)
    Source(std::filesystem::path p, const platform::ScratchFile* f, std::string n = {}, const std::string* b = nullptr)
        : path(std::move(p)), file(f), name(std::move(n)), bytes(b) {}
    std::filesystem::path path;
    const platform::ScratchFile* file = nullptr;
    std::string name{};
    const std::string* bytes = nullptr;

    // The name messages give the source. Never throws except std::bad_alloc.
    std::string display_name() const;
};

// Several sources could not be read, each for a reason that stops a merge (damaged,
// locked by a password, without pages, with content that is broken or too large to
// decode). Its catalogue message ("pdf_damaged_many") lists every name, one per line,
// under {names} and their number as {count}; MuPDF's words about each are its detail.
class DamagedSources : public diag::RuntimeError {
public:
    struct Damaged {
        std::string name;    // the source's display name
        std::string detail;  // MuPDF's or the system's words, or empty
    };
    explicit DamagedSources(std::vector<Damaged> sources, std::source_location where = std::source_location::current());
    // The damaged sources, in source order.
    const std::vector<Damaged>& sources() const noexcept { return *sources_; }

private:
    std::shared_ptr<const std::vector<Damaged>> sources_;  // shared: copying an exception must not throw
};

struct MergeCounts {
    int total_pages = 0;   // source pages read
    int final_sheets = 0;  // pages of the written file
    // Sources MuPDF had to repair (a cut or damaged file that still gave pages), in
    // source order, each once: merged as far as they could be read, and to be checked.
    std::vector<std::filesystem::path> repaired{};
    std::filesystem::path written{};  // where the file was put (see Placer)
};

// Puts the complete output, written to the temporary file `temp` beside the output
// path, in its place and returns that place. The default moves it to the output path,
// never over an existing file (std::errc::file_exists then). Throws
// std::filesystem::filesystem_error; the merge then removes the temporary file.
using Placer = std::function<std::filesystem::path(const std::filesystem::path& temp)>;

// How far a merge is: told after each source file is copied into every output that
// takes it (`sources_done` of `sources_total`), and once per output with `saving` set
// when its save begins. Called on the merging thread; must not throw.
struct MergeStep {
    std::size_t sources_done = 0;
    std::size_t sources_total = 0;
    bool saving = false;
    std::size_t output = 0;  // when saving: the output being saved (its index)
};
using MergeProgress = std::function<void(const MergeStep&)>;

// The most bytes one page's content may take decoded where it has to be decoded (a
// page whose content is split into several streams is joined for layouts 4, 6, 9):
// far above any real page, far below what a file compressed twice can claim.
inline constexpr std::size_t MAX_DECODED_CONTENT_BYTES = std::size_t{64} << 20;

// Layout 1: every page of every source, in order, copied as it is (its own size,
// rotation, boxes, content and annotations: links, stamps, form fields, notes) onto a
// sheet of its own. Identical objects that the sources bring along (fonts, images) are
// stored once. Content is copied as it is stored, never decoded. `output_path` should
// not exist yet; it is written in one step at the end: on any failure nothing is left
// at output_path.
//
// Failures, as diag::RuntimeError with a catalogue message naming the source at fault
// by its display name (MuPDF's or the system's words kept as its detail): a source that
// cannot be read ("pdf_damaged"), that needs a password ("pdf_password"), that has no
// page ("pdf_no_pages"), or a page whose content cannot be read whole
// ("pdf_content_broken") or decodes to more than MAX_DECODED_CONTENT_BYTES
// ("pdf_content_too_large"); an output that cannot be written ("pdf_write_failed", with
// the advice for a full disk, no access, a name too long, ...). A source that fails in
// one of the ways above does not stop the merge at once: every source is read, and
// then the one failure is thrown, or DamagedSources naming them all. Anything else (a
// source file that cannot be read from the disk, MuPDF's memory running out) stops it
// at once.
//
// A source that MuPDF had to repair, or whose page tree, form fields or links had to be
// read around damage (a wrong page count, a field chain that loops, an annotation
// listed twice, a link to a page that is not in the file: the annotation is left out),
// is merged as far as it reads and listed in MergeCounts::repaired.
//
// Layouts 4, 6 and 9: the source pages, in order, fill the cells of portrait A4 sheets
// row by row. Each page as a viewer shows it (its /Rotate, CropBox and MediaBox origin
// applied, and the appearances of its annotations drawn over it, as a viewer draws
// those it shows) is scaled by one factor to the largest size that fits its cell and
// centred in it; nothing is rotated to fit and nothing is cut away. A page without
// content leaves its cell blank. Failures and repairs as for layout 1.
//
// Throws diag::InvalidValue when nup is not one of SUPPORTED_NUP.
MergeCounts merge_selected(const std::vector<Source>& pdf_files, const std::filesystem::path& output_path, int nup,
                           const Placer& place = {}, const MergeProgress& progress = {});

// One output of a merge: where it is written, how it is put in place, and which of the
// sources it takes (`takes[i]` for source i; every source when `takes` is empty).
struct MergeOutput {
    std::filesystem::path path;
    Placer place{};
    std::vector<bool> takes{};
};

// The merge of every source into the first output (`takes` empty), as merge_selected
// writes it; and, when a second output is given, from the same work, the file of the
// sources its `takes` flags: the first output's document, once saved, keeps their pages
// (layout 1) or draws their pages' forms on sheets of their own (4, 6, 9), and is saved
// again, so nothing is read, copied or merged twice. The second file shows what a merge
// of those sources alone shows, page for page, with the same objects (numbered
// otherwise), and holds nothing of the sources it leaves out. Returns each output's
// counts, in order; `progress` is told the copy of the sources once, then each save.
// Failures as merge_selected; one in the second output leaves the first in its place.
// Throws diag::InvalidValue when `nup` is not one of SUPPORTED_NUP, when the first
// output does not take every source, when there are more than two outputs, or when the
// second does not have one flag per source.
std::vector<MergeCounts> merge_selected(const std::vector<Source>& pdf_files, const std::vector<MergeOutput>& outputs,
                                        int nup, const MergeProgress& progress = {});

// Returns once source `index` can be read (its bytes are all in place), for sources
// that arrive while the merge runs; whatever it throws stops the merge at once.
using SourceArrival = std::function<void(std::size_t index)>;
// The second output of a merge, chosen once every source is copied and before anything
// is saved; none when only the first is written.
using SecondOutput = std::function<std::optional<MergeOutput>()>;

// merge_selected of the outputs `first` and, when choose_second gives one, a second,
// with the sources taken as they arrive: arrive(i), if given, is called before source
// i is opened, and the source's entry in `pdf_files` may be completed until it returns
// (the file it went to, say). Whatever choose_second throws stops the merge; nothing is
// saved then.
std::vector<MergeCounts> merge_arriving(const std::vector<Source>& pdf_files, const MergeOutput& first, int nup,
                                        const SourceArrival& arrive, const SecondOutput& choose_second,
                                        const MergeProgress& progress = {});

}  // namespace pdf
