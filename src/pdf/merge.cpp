// The merge's entry point, and what both layouts share: the loop over the sources,
// the end of each source's copy, and the names and failures of sources.
#include "pdf/merge.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pdf/engine.hpp"
#include "pdf/geometry.hpp"
#include "platform/platform.hpp"

namespace pdf {

namespace fs = std::filesystem;

namespace detail {

void copy_sources(const std::vector<Source>& sources, const SourceArrival& arrive, const MergeProgress& progress,
                  const std::function<void(const Source& source, const std::string& name)>& copy) {
    DamagedList damaged;
    std::size_t done = 0;
    for (const Source& input : sources) {
        if (arrive) arrive(done);
        const std::string name = input.display_name();
        damaged.run(name, [&] { copy(input, name); });
        ++done;
        if (progress) progress(MergeStep{done, sources.size(), false});
    }
    damaged.throw_if_any();
}

namespace {

// Lists a repaired source in counts.repaired, not again when it is the file listed last
// (the same file given twice in a row).
void list_repaired(MergeCounts& counts, const fs::path& file) {
    if (counts.repaired.empty() || counts.repaired.back() != file) counts.repaired.push_back(file);
}

}  // namespace

Remap finish_source(SourceCopy& source, const fs::path& file, ObjectMerger& merger, Built& built) {
    MergeCounts& counts = built.counts;
    const bool was = source.repaired || was_repaired(source.doc.get());
    if (was) list_repaired(counts, file);
    source.map.reset();
    Remap moved = merger.merge_new_objects(source.first_new_object);
    built.first_page.push_back(counts.total_pages);
    built.repaired.push_back(was);
    counts.total_pages += source.pages();
    return moved;
}

void tell_saving(const MergeProgress& progress, std::size_t sources, std::size_t output) {
    if (progress) progress(MergeStep{sources, sources, true, output});
}

std::vector<int> pages_taken(const Built& built, const std::vector<bool>& takes, MergeCounts& counts,
                             const std::vector<Source>& sources) {
    std::vector<int> pages;
    for (std::size_t i = 0; i < takes.size(); ++i) {
        if (!takes[i]) continue;
        for (int p = built.first_page[i]; p < built.first_page[i + 1]; ++p) pages.push_back(p);
        if (built.repaired[i]) list_repaired(counts, sources[i].path);
    }
    counts.total_pages = static_cast<int>(pages.size());
    return pages;
}

}  // namespace detail

std::string Source::display_name() const { return name.empty() ? platform::utf8(path.filename()) : name; }

DamagedSources::DamagedSources(std::vector<Damaged> sources, std::source_location where)
    : diag::RuntimeError(
          [&] {
              std::string names;
              std::string details;
              for (const Damaged& d : sources) {
                  names += (names.empty() ? "" : "\n") + d.name;
                  if (!d.detail.empty()) details += (details.empty() ? "" : "; ") + d.name + ": " + d.detail;
              }
              return diag::Text{
                  "pdf_damaged_many", {{"count", std::to_string(sources.size())}, {"names", names}}, "", details};
          }(),
          where),
      sources_(std::make_shared<const std::vector<Damaged>>(std::move(sources))) {}

MergeCounts merge_selected(const std::vector<Source>& pdf_files, const fs::path& output_path, int nup,
                           const Placer& place, const MergeProgress& progress) {
    return merge_selected(pdf_files, {{output_path, place}}, nup, progress).at(0);
}

std::vector<MergeCounts> merge_selected(const std::vector<Source>& pdf_files, const std::vector<MergeOutput>& outputs,
                                        int nup, const MergeProgress& progress) {
    if (outputs.empty() || outputs.size() > 2)
        throw diag::InvalidValue("a merge writes one output of every source, and at most one of some of them");
    const auto second = [&outputs] {
        return outputs.size() == 2 ? std::optional<MergeOutput>(outputs[1]) : std::nullopt;
    };
    return merge_arriving(pdf_files, outputs[0], nup, {}, second, progress);
}

std::vector<MergeCounts> merge_arriving(const std::vector<Source>& pdf_files, const MergeOutput& first, int nup,
                                        const SourceArrival& arrive, const SecondOutput& choose_second,
                                        const MergeProgress& progress) {
    if (!is_supported_layout(nup)) throw diag::InvalidValue("unsupported layout " + std::to_string(nup));
    if (!first.takes.empty()) throw diag::InvalidValue("the first output of a merge takes every source");
    detail::Built built;
    std::optional<MergeOutput> second;
    std::vector<MergeCounts> counts;
    detail::run_for_output(first.path, [&] {
        built = nup == 1 ? detail::merge_1up(pdf_files, arrive, progress)
                         : detail::merge_nup(pdf_files, nup, arrive, progress);
        if (choose_second) second = choose_second();
        if (second && second->takes.size() != pdf_files.size())
            throw diag::InvalidValue("the second output's flags do not match the sources");
        detail::tell_saving(progress, pdf_files.size(), 0);
        built.counts.written = detail::save_document(built.doc.get(), first.path, first.place);
        counts.push_back(built.counts);
    });
    if (!second) return counts;
    detail::run_for_output(second->path, [&] {
        const std::vector<bool>& takes = second->takes;
        MergeCounts some =
            nup == 1 ? detail::keep_pages(built, takes, pdf_files) : detail::regrid_pages(built, takes, pdf_files, nup);
        detail::tell_saving(progress, pdf_files.size(), 1);
        some.written = detail::save_document(built.doc.get(), second->path, second->place);
        counts.push_back(std::move(some));
    });
    return counts;
}

}  // namespace pdf
