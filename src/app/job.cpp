#include "app/job.hpp"

#include <algorithm>
#include <new>
#include <system_error>
#include <unordered_map>

#include "app/pending_outputs.hpp"
#include "archive/intake.hpp"
#include "diag/errors.hpp"
#include "history/store.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/messages.hpp"
#include "i18n/settings.hpp"
#include "i18n/unicode.hpp"
#include "pdf/merge.hpp"
#include "platform/claims.hpp"
#include "platform/platform.hpp"
#include "platform/scratch_folder.hpp"
#include "platform/termination.hpp"
#include "product/output_names.hpp"

namespace app {

namespace {

using platform::utf8;

constexpr std::string_view SCRATCH_PREFIX = "mergalo_";

// The outputs of a job, finished under hidden names beside their visible ones and
// claimed there, so that no other job's sweep takes them. Deleted again when the job
// fails or the process is told to stop before the history holds their waybills; kept
// (for the next job to show, should this one die) once it does.
class HiddenOutputs {
public:
    HiddenOutputs() = default;
    HiddenOutputs(const HiddenOutputs&) = delete;
    HiddenOutputs& operator=(const HiddenOutputs&) = delete;
    ~HiddenOutputs() {
        claims_.clear();
        if (kept_) return;
        for (const auto& o : outputs_) {
            std::error_code ec;
            fs::remove(o.hidden, ec);
        }
    }
    // Takes over a finished output lying at `hidden`; runs while a termination waits.
    void add(const fs::path& hidden, const fs::path& visible) {
        claims_.emplace_back(hidden);
        outputs_.push_back({hidden, visible});
        on_termination_.emplace_back(hidden);
    }
    // The history holds the waybills: the files stay whatever happens next.
    void keep() {
        kept_ = true;
        on_termination_.clear();
    }
    // Windows renames no file that a claim holds open.
    void release_claims() { claims_.clear(); }
    const std::vector<PendingOutput>& outputs() const { return outputs_; }

private:
    std::vector<PendingOutput> outputs_;
    std::vector<platform::FileClaim> claims_;
    std::vector<platform::RemoveOnTermination> on_termination_;
    bool kept_ = false;
};

platform::ScratchFolder make_scratch_folder(const fs::path& temp_root) {
    try {
        return platform::ScratchFolder(temp_root, std::string(SCRATCH_PREFIX));
    } catch (const fs::filesystem_error& e) {
        throw diag::file_error("temp_folder_failed", e, temp_root);
    }
}

std::string language(const JobEnvironment& env) { return i18n::current_language(env.data_dir); }

// Moves a finished output from `hidden` to `wanted`, or to its first free numbered
// variant when a file took that name meanwhile (a job of another copy of the program
// on the same folder); never over an existing file. Returns where it went. Throws
// std::filesystem::filesystem_error.
fs::path place_output(const fs::path& hidden, const fs::path& wanted) {
    for (unsigned long long i = 0;; ++i) {
        const fs::path candidate = i == 0 ? wanted : numbered(wanted, i);
        if (taken(candidate)) continue;
        try {
            platform::rename_no_replace(hidden, candidate);
        } catch (const fs::filesystem_error& e) {
            if (e.code() == std::errc::file_exists) continue;
            throw;
        }
        return candidate;
    }
}

// The names of the outputs must fit the file system, with room for a " (n)" number
// and for the hidden temporary name beside them (".<name>.XXXXXX.tmp"); checked before
// anything is unpacked, so that a long archive name fails at once, not after the merge.
void check_output_names(const fs::path& zip_path, int nup, std::string_view app_title) {
    constexpr std::size_t ROOM = 12 + 8;  // the temporary name's additions, and " (9999)"
    for (bool new_only : {false, true}) {
        const fs::path out = make_output_path(zip_path, nup, new_only, app_title);
        if (platform::native_length(out.filename()) + ROOM > platform::MAX_NAME_LENGTH ||
            platform::native_length(out) + ROOM > platform::MAX_PATH_LENGTH)
            throw diag::RuntimeError(diag::Text{"output_name_too_long", {{"path", utf8(out)}}});
    }
}

// Removes the scratch folders that killed jobs left. Claimed ones are live jobs' and stay.
void remove_dead_scratch_folders(const fs::path& temp_root) {
    platform::remove_dead_private_dirs(temp_root, std::string(SCRATCH_PREFIX));
}

// Removes the hidden outputs that killed jobs left in the archive's folder (ours carry
// the product title in their name), but not those still waiting to be shown: run under
// the history lock, after settle_pending_outputs. Claimed ones are live jobs' and stay.
void remove_dead_hidden_outputs(const fs::path& archive_folder, std::string_view app_title,
                                const std::vector<PendingOutput>& waiting) {
    platform::remove_dead_temp_files(archive_folder, [&](std::string_view name) {
        for (const PendingOutput& o : waiting)
            if (o.hidden.parent_path() == archive_folder && utf8(o.hidden.filename()) == name) return false;
        return is_output_name(name, app_title);
    });
}

// Finishes or undoes the last steps of a job that died (or failed) in them, as its note
// says (app/pending_outputs.hpp): with its waybills in the history, its outputs are
// made visible; without, deleted. Runs under the history lock, before this job looks at
// any output name. Returns the outputs that could not be made visible yet; they stay
// hidden and in the note for the next job. Never throws except std::bad_alloc.
std::vector<PendingOutput> settle_pending_outputs(const fs::path& app_dir, const history::History& known) {
    std::vector<PendingOutput> waiting;
    for (const fs::path& note : pending_output_notes(app_dir)) {
        std::optional<PendingOutputs> pending = read_pending_outputs(note);
        if (!pending) continue;
        const bool recorded = pending_outputs_recorded(*pending, known);
        std::vector<PendingOutput> left;
        for (const PendingOutput& o : pending->outputs) {
            std::error_code ec;
            if (!recorded) {
                fs::remove(o.hidden, ec);
                continue;
            }
            // Gone: made visible already (the job died after that step), or deleted by hand.
            if (fs::symlink_status(o.hidden, ec).type() == fs::file_type::not_found) continue;
            try {
                place_output(o.hidden, o.visible);
            } catch (const fs::filesystem_error&) {
                left.push_back(o);
            }
        }
        if (left.empty()) {
            remove_pending_outputs(note);
        } else if (left.size() != pending->outputs.size()) {
            pending->outputs = left;
            try {
                write_pending_outputs(note, *pending);
            } catch (const fs::filesystem_error&) {
                // The old note lists these too; the outputs already shown are skipped as gone.
            }
        }
        waiting.insert(waiting.end(), left.begin(), left.end());
    }
    return waiting;
}

std::string joined(const std::vector<std::string>& names, std::string_view sep) {
    std::string out;
    for (const auto& n : names) {
        if (!out.empty()) out += sep;
        out += n;
    }
    return out;
}

// The job's last steps. What a process that dies at any moment between them leaves:
// - before the note is written: hidden outputs only, nothing recorded; the next job on
//   this folder deletes them (unclaimed, a minute old);
// - note written, history not saved yet: the next job (on any archive) finds the
//   waybills not recorded at the note's time and deletes the hidden outputs;
// - history saved, outputs (some or all) still hidden: the next job finds the waybills
//   recorded and makes the outputs visible, numbered when their names were taken
//   meanwhile;
// - outputs visible, note not yet removed: the next job removes the note.
// A termination signal waits until these steps are done. A failure before the history
// is saved deletes the outputs, and the history stays as it was; a failure to show an
// output after it is saved leaves the note for the next job and reports the failure.
// Returns the visible paths, in the order the outputs were added.
std::vector<fs::path> finish_outputs(const JobEnvironment& env, const std::vector<history::Entry>& entries, int nup,
                                     HiddenOutputs& outputs) {
    auto step = [&](LastStep s) {
        if (env.at_last_step) env.at_last_step(s);
    };
    return platform::without_termination([&] {
        step(LastStep::outputs_written);
        PendingOutputs pending;
        pending.recorded_at = history::local_now();
        for (const history::Entry& e : entries) pending.keys.push_back(e.key);
        pending.outputs = outputs.outputs();
        const fs::path note = free_note_path(env.app_dir);
        try {
            write_pending_outputs(note, pending);
        } catch (const fs::filesystem_error& e) {
            throw diag::file_error("history_save_failed", e, history::history_csv_path(env.app_dir));
        }
        step(LastStep::note_written);
        try {
            history::record_processed_waybills(env.app_dir, entries, nup, pending.recorded_at);
        } catch (...) {
            remove_pending_outputs(note);
            throw;
        }
        outputs.keep();
        step(LastStep::history_saved);
        outputs.release_claims();
        std::vector<fs::path> shown;
        for (const PendingOutput& o : pending.outputs) {
            try {
                shown.push_back(place_output(o.hidden, o.visible));
            } catch (const fs::filesystem_error& e) {
                throw diag::file_error("pdf_write_failed", o.visible, e.code());
            }
            step(LastStep::output_shown);
        }
        remove_pending_outputs(note);
        return shown;
    });
}

MergeResult run_job(const fs::path& given_zip_path, int nup, const JobEnvironment& env,
                    const ProgressCallback& progress) {
    std::error_code ec;
    const fs::file_status status = fs::status(given_zip_path, ec);
    if (status.type() == fs::file_type::not_found)
        throw diag::FileNotFound(i18n::t("zip_not_found", language(env), {{"path", given_zip_path}}));
    // Anything else that keeps us from seeing the file (no access to its folder) is
    // said as it is, not as "not found".
    if (ec) throw diag::file_error("zip_open_failed", given_zip_path, ec);
    if (i18n::fold_case(utf8(given_zip_path.extension())) != ".zip")
        throw diag::InvalidValue(i18n::t("choose_zip", language(env)));

    const fs::path zip_path = fs::absolute(given_zip_path, ec);
    if (ec) throw diag::file_error("zip_open_failed", given_zip_path, ec);
    MergeResult result;
    result.nup = nup;

    remove_dead_scratch_folders(env.temp_root);
    check_output_names(zip_path, nup, env.app_title);

    const platform::ScratchFolder scratch = make_scratch_folder(env.temp_root);
    archive::UnpackProgress unpacking;
    if (progress)
        unpacking = [&progress](std::size_t done, std::size_t total) {
            progress({JobProgress::Stage::unpacking, done, total});
        };
    // Names the archive does not state to be UTF-8 are in the code page of the system
    // that made it, taken to be the user's.
    const archive::Unpacked unpacked =
        archive::unpack_waybills(zip_path, scratch.path(), platform::oem_code_page(), unpacking);
    const std::vector<archive::Waybill>& waybills = unpacked.waybills;
    if (waybills.empty()) throw diag::RuntimeError(diag::Text{"zip_no_pdfs"});
    result.conflicting_duplicates = unpacked.conflicting_duplicates;

    // Each file was hashed as it was unpacked: the same keys decide what is new and go
    // into the history.
    std::vector<history::Entry> entries;
    entries.reserve(waybills.size());
    for (const auto& w : waybills) entries.push_back({history::history_key_for_digest(w.name, w.sha256, nup), w.name});

    // From the load to the record, no other job reads or writes the history; the
    // outputs' names are chosen here too, so a second job on the same archive numbers
    // its files after the first one's.
    const history::HistoryLock lock = history::lock_history(env.app_dir);
    const history::Loaded loaded = history::load_history(env.app_dir);
    const history::History& known = loaded.history;
    result.skipped_history_records = loaded.skipped;
    result.history_copy = loaded.damaged_copy;
    const std::vector<PendingOutput> waiting = settle_pending_outputs(env.app_dir, known);
    remove_dead_hidden_outputs(zip_path.parent_path(), env.app_title, waiting);
    // The merges read each waybill through the file the unpacking left open.
    std::vector<pdf::Source> pdf_files;
    std::vector<pdf::Source> new_pdf_files;
    for (std::size_t i = 0; i < waybills.size(); ++i) {
        const pdf::Source source(waybills[i].path, waybills[i].file);
        pdf_files.push_back(source);
        if (!known.contains(entries[i].key)) new_pdf_files.push_back(source);
    }

    // The outputs are finished under hidden names and shown only once the history holds
    // their waybills (see finish_outputs).
    HiddenOutputs outputs;
    // The merging counts run over both outputs: the new-only one is a second pass.
    const bool second_pass = !new_pdf_files.empty() && new_pdf_files.size() != pdf_files.size();
    const std::size_t merge_total = pdf_files.size() + (second_pass ? new_pdf_files.size() : 0);
    std::size_t merged_before = 0;
    pdf::MergeProgress merging;
    if (progress)
        merging = [&](const pdf::MergeStep& step) {
            const std::size_t done = merged_before + step.sources_done;
            progress({step.saving ? JobProgress::Stage::saving : JobProgress::Stage::merging, done, merge_total});
        };
    auto merge = [&](const std::vector<pdf::Source>& files, bool new_only) {
        const fs::path wanted = make_output_path(zip_path, nup, new_only, env.app_title);
        pdf::MergeCounts counts = pdf::merge_selected(
            files, wanted, nup,
            [&](const fs::path& temp) {
                outputs.add(temp, wanted);
                return temp;
            },
            merging);
        merged_before += files.size();
        return counts;
    };
    const pdf::MergeCounts all = merge(pdf_files, false);
    pdf::MergeCounts fresh;
    const bool all_new = new_pdf_files.size() == pdf_files.size();
    if (all_new) fresh = all;
    else if (!new_pdf_files.empty()) fresh = merge(new_pdf_files, true);

    const std::vector<fs::path> shown = finish_outputs(env, entries, nup, outputs);
    result.out_pdf_all = shown.at(0);
    if (all_new) result.out_pdf_new = result.out_pdf_all;
    else if (!new_pdf_files.empty()) result.out_pdf_new = shown.at(1);

    std::unordered_map<fs::path::string_type, std::string> names;
    for (const auto& w : waybills) names.emplace(w.path.native(), w.member_path);
    for (const fs::path& p : all.repaired) result.repaired.push_back(names.at(p.native()));

    result.out_pdf = result.out_pdf_all;
    result.file_count = result.file_count_all = static_cast<int>(pdf_files.size());
    result.file_count_new = static_cast<int>(new_pdf_files.size());
    result.total_pages = result.total_pages_all = all.total_pages;
    result.total_pages_new = fresh.total_pages;
    result.final_sheets = result.final_sheets_all = all.final_sheets;
    result.final_sheets_new = fresh.final_sheets;
    return result;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> merge_result_fields(const MergeResult& r) {
    auto n = [](int v) { return std::to_string(v); };
    return {
        {"out_pdf", utf8(r.out_pdf)},
        {"out_pdf_all", utf8(r.out_pdf_all)},
        {"out_pdf_new", r.out_pdf_new ? utf8(*r.out_pdf_new) : std::string()},
        {"file_count", n(r.file_count)},
        {"file_count_all", n(r.file_count_all)},
        {"file_count_new", n(r.file_count_new)},
        {"total_pages", n(r.total_pages)},
        {"total_pages_all", n(r.total_pages_all)},
        {"total_pages_new", n(r.total_pages_new)},
        {"final_sheets", n(r.final_sheets)},
        {"final_sheets_all", n(r.final_sheets_all)},
        {"final_sheets_new", n(r.final_sheets_new)},
        {"nup", n(r.nup)},
        {"repaired", joined(r.repaired, "|")},
        {"conflicting_duplicates", joined(r.conflicting_duplicates, "|")},
        {"skipped_history_records", n(r.skipped_history_records)},
        {"history_copy", r.history_copy ? utf8(*r.history_copy) : std::string()},
    };
}

MergeResult process_zip(const fs::path& zip_path, int nup, const JobEnvironment& env,
                        const ProgressCallback& progress) {
    if (!pdf::is_supported_layout(nup)) nup = 1;
    try {
        try {
            return run_job(zip_path, nup, env, progress);
        } catch (const fs::filesystem_error& e) {
            // A file operation no step expected to fail still names its file in words.
            throw diag::file_error("file_access_failed", e);
        } catch (const std::bad_alloc&) {
            throw diag::RuntimeError(diag::Text{"out_of_memory", {{"path", utf8(zip_path)}}});
        }
    } catch (const diag::Error& e) {
        // Units below speak in catalogue messages; the user reads them in the language
        // of the moment.
        i18n::rethrow_in_language(e, language(env));
    }
}

std::optional<LogNote> repaired_waybills_log_note(const fs::path& zip_path, const MergeResult& result) {
    if (result.repaired.empty()) return std::nullopt;
    std::string extra = "Архив: ";
    extra += utf8(zip_path);
    extra += "\nРаскладка: ";
    extra += std::to_string(result.nup);
    extra += "\nMuPDF восстановил повреждённые накладные (";
    extra += std::to_string(result.repaired.size());
    extra += "), они объединены в том виде, в каком удалось их прочитать:";
    for (const auto& name : result.repaired) extra.append("\n  ").append(name);
    return LogNote{"Объединение: восстановлены повреждённые накладные", std::move(extra)};
}

}  // namespace app
