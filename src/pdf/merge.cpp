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
                  const std::function<void(std::size_t index, const Source& source, const std::string& name)>& copy) {
    DamagedList damaged;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const std::string name = sources[i].display_name();
        damaged.run(name, [&] { copy(i, sources[i], name); });
        if (progress) progress(MergeStep{i + 1, sources.size(), false});
    }
    damaged.throw_if_any();
}

Target::Target(const MergeOutput& out) : output(out), doc(create_pdf()), tree(doc.get()), merger(doc.get()) {}

void Target::begin_source() {
    map.reset(mupdf_call([&](fz_context* c) noexcept { return pdf_new_graft_map(c, doc.get()); }));
    first_new_object = xref_len(doc.get());
}

std::vector<Target*> takers(std::deque<Target>& targets, std::size_t index) {
    std::vector<Target*> taking;
    for (Target& t : targets)
        if (t.takes(index)) taking.push_back(&t);
    return taking;
}

Remap finish_source(const SourceCopy& source, const fs::path& file, Target& target) {
    MergeCounts& counts = target.counts;
    const bool was = source.repaired || was_repaired(source.doc.get());
    if (was && (counts.repaired.empty() || counts.repaired.back() != file)) counts.repaired.push_back(file);
    target.map.reset();
    Remap moved = target.merger.merge_new_objects(target.first_new_object);
    counts.total_pages += source.pages();
    return moved;
}

std::vector<MergeCounts> save_targets(std::deque<Target>& targets, const MergeProgress& progress, std::size_t sources) {
    std::vector<MergeCounts> counts;
    for (std::size_t k = 0; k < targets.size(); ++k) {
        Target& t = targets[k];
        if (progress) progress(MergeStep{sources, sources, true, k});
        run_for_output(t.output.path,
                       [&] { t.counts.written = save_document(t.doc.get(), t.output.path, t.output.place); });
        t.doc.reset();  // what is written need not be held while the next output is saved
        counts.push_back(std::move(t.counts));
    }
    return counts;
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

namespace {

// Every output merged in one pass; MuPDF's memory running out outside any one source
// is said about the output being saved, or the first one before any save.
std::vector<MergeCounts> merge_in_one_pass(const std::vector<Source>& sources, const std::vector<MergeOutput>& outputs,
                                           int nup, const MergeProgress& progress) {
    std::vector<MergeCounts> counts;
    detail::run_for_output(outputs.at(0).path, [&] {
        counts = nup == 1 ? detail::merge_1up(sources, outputs, progress)
                          : detail::merge_nup(sources, outputs, nup, progress);
    });
    return counts;
}

// Each output on its own, one after the other: only one output is held at a time.
std::vector<MergeCounts> merge_one_by_one(const std::vector<Source>& sources, const std::vector<MergeOutput>& outputs,
                                          int nup, const MergeProgress& progress) {
    std::vector<MergeCounts> counts;
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        std::vector<Source> taken;
        for (std::size_t i = 0; i < sources.size(); ++i)
            if (outputs[k].takes.empty() || outputs[k].takes[i]) taken.push_back(sources[i]);
        MergeProgress told;
        if (progress)
            told = [&](const MergeStep& step) {
                MergeStep s = step;
                s.output = k;
                progress(s);
            };
        counts.push_back(merge_in_one_pass(taken, {{outputs[k].path, outputs[k].place}}, nup, told).at(0));
    }
    return counts;
}

}  // namespace

MergeCounts merge_selected(const std::vector<Source>& pdf_files, const fs::path& output_path, int nup,
                           const Placer& place, const MergeProgress& progress) {
    return merge_selected(pdf_files, {{output_path, place}}, nup, progress).at(0);
}

std::vector<MergeCounts> merge_selected(const std::vector<Source>& pdf_files, const std::vector<MergeOutput>& outputs,
                                        int nup, const MergeProgress& progress) {
    if (!is_supported_layout(nup)) throw diag::InvalidValue("unsupported layout " + std::to_string(nup));
    for (const MergeOutput& out : outputs)
        if (!out.takes.empty() && out.takes.size() != pdf_files.size())
            throw diag::InvalidValue("an output's flags do not match its sources");
    if (outputs.size() < 2) return merge_in_one_pass(pdf_files, outputs, nup, progress);
    // Once an output is in its place (the save of the next one has begun), its caller
    // holds it: no second try then.
    bool placed = false;
    const MergeProgress watched = [&](const MergeStep& step) {
        if (step.saving && step.output > 0) placed = true;
        if (progress) progress(step);
    };
    try {
        return merge_in_one_pass(pdf_files, outputs, nup, watched);
    } catch (const MemoryLimit&) {
        if (placed) throw;
    }
    return merge_one_by_one(pdf_files, outputs, nup, progress);
}

}  // namespace pdf
