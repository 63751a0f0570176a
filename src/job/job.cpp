#include "job/job.hpp"

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>
#include <unordered_map>

#include "archive/intake.hpp"
#include "diag/error_log.hpp"
#include "diag/errors.hpp"
#include "history/store.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/messages.hpp"
#include "i18n/settings.hpp"
#include "i18n/unicode.hpp"
#include "job/commit.hpp"
#include "job/output_names.hpp"
#include "job/pending_outputs.hpp"
#include "pdf/merge.hpp"
#include "platform/claims.hpp"
#include "platform/platform.hpp"
#include "platform/scratch_file.hpp"
#include "platform/scratch_folder.hpp"
#include "platform/staged_file.hpp"
#include "platform/termination.hpp"

namespace job {

namespace {

using platform::utf8;

constexpr std::string_view SCRATCH_PREFIX = "mergalo_";

// The job's scratch folder, made only when a waybill too large for the memory budget
// needs a file: a normal job creates nothing in the temporary folder.
class LazyScratch {
public:
    explicit LazyScratch(fs::path temp_root) : temp_root_(std::move(temp_root)) {}

    // Where the intake may put files; valid while this object lives.
    archive::ScratchPlace place() {
        // The folder's name: the prefix and a random part of at most 10 characters.
        constexpr std::size_t RANDOM_ROOM = 10;
        return {temp_root_, platform::native_length(temp_root_ / std::string(SCRATCH_PREFIX)) + RANDOM_ROOM,
                [this] { return make(); }};
    }

private:
    fs::path make() {
        try {
            folder_.emplace(temp_root_, std::string(SCRATCH_PREFIX));
        } catch (const fs::filesystem_error& e) {
            throw diag::file_error("temp_folder_failed", e, temp_root_);
        }
        return folder_->path();
    }

    fs::path temp_root_;
    std::optional<platform::ScratchFolder> folder_;
};

std::string language(const JobEnvironment& env) { return i18n::current_language(env.data_dir); }

// The names of the outputs must fit the file system: the visible path within what
// viewers and the file manager open, and the name, also as the hidden temporary name
// beside it (".<name>.XXXXXX.tmp", which the program opens at any path length), within a
// folder entry's limit. The name checked is the one the output would get now (numbered
// " (n)" when a file of its name is there). Checked before anything is unpacked, so that
// a long archive name fails at once, not after the merge.
void check_output_names(const fs::path& zip_path, int nup, std::string_view app_title) {
    constexpr std::size_t TEMP_ROOM = 12;  // the temporary name's additions
    for (bool new_only : {false, true}) {
        const fs::path out = make_output_path(zip_path, nup, new_only, app_title);
        if (platform::native_length(out.filename()) + TEMP_ROOM > platform::MAX_NAME_LENGTH ||
            platform::native_length(out) > platform::MAX_PATH_LENGTH)
            throw diag::RuntimeError(diag::Text{"output_name_too_long", {{"path", utf8(out)}}});
    }
}

// Removes the scratch folders that killed jobs left. Claimed ones are live jobs' and stay.
void remove_dead_scratch_folders(const fs::path& temp_root) {
    platform::remove_dead_private_dirs(temp_root, std::string(SCRATCH_PREFIX));
}

// The message naming several damaged waybills by their paths inside the archive: the
// first ten, one per line, then how many more there are, so that the error dialog stays
// on the screen; MuPDF's words about the same ten as the detail.
diag::Text damaged_waybills_text(const pdf::DamagedSources& e, std::string_view lang) {
    constexpr std::size_t SHOWN = 10;
    const std::vector<pdf::DamagedSources::Damaged>& damaged = e.sources();
    std::string names;
    std::string detail;
    for (std::size_t i = 0; i < damaged.size() && i < SHOWN; ++i) {
        if (i > 0) names += '\n';
        names += damaged[i].name;
        if (damaged[i].detail.empty()) continue;
        if (!detail.empty()) detail += "; ";
        detail += damaged[i].name + ": " + damaged[i].detail;
    }
    if (damaged.size() > SHOWN) {
        names += '\n';
        names += i18n::t("pdf_damaged_and_more", lang, {{"count", damaged.size() - SHOWN}});
    }
    return diag::Text{"pdf_damaged_many", {{"count", std::to_string(damaged.size())}, {"names", names}}, "", detail};
}

std::string joined(const std::vector<std::string>& names, std::string_view sep) {
    std::string out;
    for (const auto& n : names) {
        if (!out.empty()) out += sep;
        out += n;
    }
    return out;
}

// The archive as given, checked before anything is unpacked: it is there, it is a ZIP
// archive by its name, its outputs' names fit the file system and its folder takes them. Returns its absolute
// path. Throws diag::FileNotFound, diag::InvalidValue or diag::RuntimeError.
fs::path checked_archive(const fs::path& given, int nup, const JobEnvironment& env) {
    std::error_code ec;
    const fs::file_status status = fs::status(given, ec);
    if (status.type() == fs::file_type::not_found)
        throw diag::FileNotFound(i18n::t("zip_not_found", language(env), {{"path", given}}));
    // Anything else that keeps us from seeing the file (no access to its folder) is
    // said as it is, not as "not found".
    if (ec) throw diag::file_error("zip_open_failed", given, ec);
    if (i18n::fold_case(utf8(given.extension())) != ".zip")
        throw diag::InvalidValue(i18n::t("choose_zip", language(env)));
    const fs::path zip_path = fs::absolute(given, ec);
    if (ec) throw diag::file_error("zip_open_failed", given, ec);
    // Opened once as the system opens it, which says why it cannot be read: on Windows a
    // file another program holds open without sharing it is busy (close it there), where
    // the ZIP library only says it failed; a named pipe in the archive's place is
    // refused rather than waited on.
    try {
        const platform::FileReader probe(zip_path);
    } catch (const fs::filesystem_error& e) {
        throw diag::file_error("zip_open_failed", given, e.code());
    }
    check_output_names(zip_path, nup, env.app_title);
    // The outputs are written beside the archive: a folder that is not the user's to
    // write (opened straight from another user's or the system's folder, a read-only
    // disk) is refused now, not after the merge. Any other failure is the save's to say.
    if (platform::is_no_write_access(
            platform::try_create_beside(make_output_path(zip_path, nup, false, env.app_title))))
        throw diag::RuntimeError(diag::Text{"archive_folder_read_only", {{"path", utf8(zip_path.parent_path())}}});
    return zip_path;
}

// What the archive holds, read whole, with each waybill's history key for the layout
// (each waybill was hashed as it was read: the same keys decide what is new and go into
// the history).
struct Intake {
    archive::Unpacked unpacked;
    std::vector<history::Entry> entries;
};

Intake keyed(archive::Unpacked unpacked, int nup) {
    Intake intake{std::move(unpacked), {}};
    intake.entries.reserve(intake.unpacked.waybills.size());
    for (const archive::Waybill& w : intake.unpacked.waybills)
        intake.entries.push_back({history::history_key_for_digest(w.name, w.sha256, nup), w.name});
    return intake;
}

// The waybills that are new, chosen under the history lock, which the job holds from
// the load to its last steps: no other job reads or writes the history meanwhile, and
// the outputs' names are chosen under it too, so that a second job on the same archive
// numbers its files after the first one's.
struct Selection {
    history::HistoryLock lock;
    std::vector<bool> fresh;  // for each waybill: the history does not know it in this layout
    std::size_t fresh_count = 0;
    int skipped_history_records = 0;
    std::optional<fs::path> history_copy;
};

Selection select_new(const fs::path& zip_path, const Intake& intake, const JobEnvironment& env,
                     const ProgressCallback& progress) {
    const std::size_t total = intake.entries.size();
    Selection s{history::lock_history(
                    env.history_dir, env.history_wait,
                    [&progress, total] {
                        if (progress)
                            progress({JobProgress::Stage::waiting, total, total, JobProgress::Output::all, 0, total});
                    }),
                {},
                0,
                0,
                std::nullopt};
    const history::Loaded loaded = history::load_history(env.history_dir, history::local_now(), renamer_of(env));
    s.skipped_history_records = loaded.skipped;
    s.history_copy = loaded.damaged_copy;
    const std::vector<PendingOutput> waiting = settle_pending_outputs(env.history_dir, loaded.history, renamer_of(env));
    remove_dead_hidden_outputs(zip_path.parent_path(), env.app_title, waiting);
    for (const history::Entry& entry : intake.entries) {
        s.fresh.push_back(!loaded.history.contains(entry.key));
        if (s.fresh.back()) ++s.fresh_count;
    }
    return s;
}

// What the merge gives the rest of the job: the archive read whole, the selection
// under the history lock, and the counts of the outputs merged: the full one, and the
// new-only one (the full one's when every waybill is new, none when none is).
struct Merged {
    Intake intake;
    std::optional<Selection> selection;
    pdf::MergeCounts all;
    pdf::MergeCounts fresh;
    bool all_new = false;
    bool has_new = false;
};

// The merge's report of its steps as the job's: the bar runs over the waybills once,
// then each output's save is told.
pdf::MergeProgress merge_progress(const ProgressCallback& progress, std::size_t total, const Merged& m) {
    if (!progress) return {};
    return [&progress, total, &m](const pdf::MergeStep& step) {
        using Stage = JobProgress::Stage;
        using Output = JobProgress::Output;
        if (!step.saving)
            progress({Stage::merging, step.sources_done, step.sources_total, Output::all, 0, total});
        else if (step.output == 0)
            progress({Stage::saving, total, total, Output::all, 0, total});
        else {
            const std::size_t fresh = m.selection->fresh_count;
            progress({Stage::saving, fresh, fresh, Output::new_only, total - fresh, total});
        }
    };
}

// Merges the waybills while the archive is read, into the full output and the new-only
// one from its work, under hidden names (`outputs` takes them over). Every waybill goes
// into the full output, so the history is needed only once they are all copied: then
// the reading is finished (its failure, a damaged archive, stops the job before
// anything is saved), the history is locked and loaded, and the outputs are saved.
Merged merge_outputs(const fs::path& zip_path, int nup, const JobEnvironment& env, archive::WaybillReader& reader,
                     HiddenOutputs& outputs, const ProgressCallback& progress) {
    const std::vector<archive::Waybill>& waybills = reader.waybills();
    // Each source is made once its waybill is read: its bytes, or the file it went to.
    std::vector<pdf::Source> sources(waybills.size(), pdf::Source(fs::path()));
    const auto arrive = [&](std::size_t i) {
        reader.wait_for(i);
        const archive::Waybill& w = waybills[i];
        sources[i] = pdf::Source(w.path, w.file, w.member_path, w.bytes);
    };
    const auto output = [&](bool new_only, std::vector<bool> takes) {
        const fs::path path = make_output_path(zip_path, nup, new_only, env.app_title);
        const auto hide = [&outputs, path](const fs::path& temp) {
            outputs.add(temp, path);
            return temp;
        };
        return pdf::MergeOutput{path, hide, std::move(takes)};
    };
    Merged m;
    const auto choose_second = [&]() -> std::optional<pdf::MergeOutput> {
        m.intake = keyed(reader.finish(), nup);
        m.selection.emplace(select_new(zip_path, m.intake, env, progress));
        m.all_new = m.selection->fresh_count == m.intake.entries.size();
        m.has_new = m.selection->fresh_count > 0;
        if (!m.has_new || m.all_new) return std::nullopt;
        return output(true, m.selection->fresh);
    };
    std::vector<pdf::MergeCounts> counts;
    try {
        counts = pdf::merge_arriving(sources, output(false, {}), nup, arrive, choose_second,
                                     merge_progress(progress, waybills.size(), m));
    } catch (...) {
        // A damaged archive is what the user must hear of, not the merge that it stopped.
        reader.settle();
        throw;
    }
    m.all = counts.at(0);
    if (m.all_new)
        m.fresh = m.all;
    else if (m.has_new)
        m.fresh = counts.at(1);
    return m;
}

MergeResult run_job(const fs::path& given_zip_path, int nup, const JobEnvironment& env,
                    const ProgressCallback& progress) {
    remove_dead_scratch_folders(env.temp_root);
    const fs::path zip_path = checked_archive(given_zip_path, nup, env);
    LazyScratch scratch(env.temp_root);
    // Names the archive does not state to be UTF-8 are in the code page of the system
    // that made it, taken to be the user's.
    archive::WaybillReader reader(zip_path, scratch.place(), platform::oem_code_page(), env.memory_budget);
    if (progress) progress({JobProgress::Stage::unpacking, 0, reader.members()});
    if (reader.waybills().empty()) {
        reader.finish();  // a damaged archive is told as such
        // A fixed text, the same in every language.
        throw diag::RuntimeError("В архиве не найдено PDF-файлов");
    }
    reader.start();
    // The outputs stay hidden until the history holds their waybills (job/commit.hpp).
    HiddenOutputs outputs;
    const Merged merged = merge_outputs(zip_path, nup, env, reader, outputs, progress);
    const Intake& intake = merged.intake;
    const Selection& selection = *merged.selection;
    const std::vector<fs::path> shown = finish_outputs(env, intake.entries, nup, outputs);

    MergeResult result;
    result.nup = nup;
    result.out_pdf = result.out_pdf_all = shown.at(0);
    if (merged.all_new)
        result.out_pdf_new = result.out_pdf_all;
    else if (merged.has_new)
        result.out_pdf_new = shown.at(1);
    std::unordered_map<fs::path::string_type, std::string> names;
    for (const archive::Waybill& w : intake.unpacked.waybills) names.emplace(w.path.native(), w.member_path);
    for (const fs::path& p : merged.all.repaired) result.repaired.push_back(names.at(p.native()));
    result.conflicting_duplicates = intake.unpacked.conflicting_duplicates;
    result.skipped_history_records = selection.skipped_history_records;
    result.history_copy = selection.history_copy;
    result.file_count = result.file_count_all = static_cast<int>(intake.entries.size());
    result.file_count_new = static_cast<int>(selection.fresh_count);
    result.total_pages = result.total_pages_all = merged.all.total_pages;
    result.total_pages_new = merged.fresh.total_pages;
    result.final_sheets = result.final_sheets_all = merged.all.final_sheets;
    result.final_sheets_new = merged.fresh.final_sheets;
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
    } catch (const pdf::DamagedSources& e) {
        const std::string lang = language(env);
        i18n::rethrow_in_language(diag::RuntimeError(damaged_waybills_text(e, lang), e.where()), lang);
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
    return LogNote{std::string(diag::log_titles::WAYBILLS_REPAIRED), std::move(extra)};
}

}  // namespace job
