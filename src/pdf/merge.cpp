// The merge's entry point, and what both layouts share: the loop over the sources,
// the end of each source's copy, and the names and failures of sources.
#include "pdf/merge.hpp"

#include <memory>
#include <string>
#include <vector>

#include "pdf/engine.hpp"
#include "pdf/geometry.hpp"
#include "platform/platform.hpp"

namespace pdf {

namespace fs = std::filesystem;

namespace detail {

void copy_sources(const std::vector<Source>& sources, const MergeProgress& progress,
                  const std::function<void(const Source& source, const std::string& name)>& copy) {
    DamagedList damaged;
    std::size_t done = 0;
    for (const Source& input : sources) {
        const std::string name = input.display_name();
        damaged.run(name, [&] { copy(input, name); });
        ++done;
        if (progress) progress(MergeStep{done, sources.size(), false});
    }
    damaged.throw_if_any();
}

Remap finish_source(SourceCopy& source, const fs::path& file, ObjectMerger& merger, MergeCounts& counts) {
    const bool was = source.repaired || was_repaired(source.doc.get());
    if (was && (counts.repaired.empty() || counts.repaired.back() != file)) counts.repaired.push_back(file);
    source.map.reset();
    Remap moved = merger.merge_new_objects(source.first_new_object);
    counts.total_pages += source.pages();
    return moved;
}

void tell_saving(const MergeProgress& progress, std::size_t sources) {
    if (progress) progress(MergeStep{sources, sources, true});
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
    if (!is_supported_layout(nup)) throw diag::InvalidValue("unsupported layout " + std::to_string(nup));
    return nup == 1 ? detail::merge_1up(pdf_files, output_path, place, progress)
                    : detail::merge_nup(pdf_files, output_path, nup, place, progress);
}

}  // namespace pdf
