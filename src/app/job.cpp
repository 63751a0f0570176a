#include "app/job.hpp"

#include <algorithm>
#include <new>
#include <system_error>
#include <unordered_map>

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

namespace app {

namespace {

using platform::utf8;

constexpr std::string_view SCRATCH_PREFIX = "mergalo_";

// Output files written by a job; deleted again unless the job completes, also when
// the process is told to stop before that.
class WrittenFiles {
public:
    WrittenFiles() = default;
    WrittenFiles(const WrittenFiles&) = delete;
    WrittenFiles& operator=(const WrittenFiles&) = delete;
    ~WrittenFiles() {
        if (kept_) return;
        for (const auto& p : paths_) {
            std::error_code ec;
            fs::remove(p, ec);
        }
    }
    void add(const fs::path& p) {
        paths_.push_back(p);
        on_termination_.emplace_back(p);
    }
    void keep() {
        kept_ = true;
        on_termination_.clear();
    }

private:
    std::vector<fs::path> paths_;
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

// "<stem> (i)<ext>" beside `path`.
fs::path numbered(const fs::path& path, unsigned long long i) {
    fs::path candidate = path.parent_path() / path.stem();
    candidate += " (";
    candidate += std::to_string(i);
    candidate += ")";
    candidate += path.extension();
    return candidate;
}

bool taken(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

// Moves a finished output from `temp` to `wanted`, or to its first free numbered
// variant when a file took that name meanwhile (another job on the same archive), and
// registers it as written by this job. Runs while a termination waits.
fs::path place_output(const fs::path& temp, const fs::path& wanted, WrittenFiles& written) {
    for (unsigned long long i = 0;; ++i) {
        const fs::path candidate = i == 0 ? wanted : numbered(wanted, i);
        if (taken(candidate)) continue;
        try {
            platform::rename_no_replace(temp, candidate);
        } catch (const fs::filesystem_error& e) {
            if (e.code() == std::errc::file_exists) continue;
            throw;
        }
        written.add(candidate);
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

// Removes what killed jobs left: their scratch folders, and hidden temporary outputs in
// the archive's folder (ours carry the product title in their name). Claimed ones are
// live jobs' and stay.
void remove_left_overs(const fs::path& temp_root, const fs::path& archive_folder, std::string_view app_title) {
    platform::remove_dead_private_dirs(temp_root, std::string(SCRATCH_PREFIX));
    std::string marker = "_";
    marker += app_title;
    marker += "_";
    platform::remove_dead_temp_files(archive_folder, [&](std::string_view name) {
        return name.find(marker) != std::string_view::npos && name.find("_MERGED") != std::string_view::npos;
    });
}

std::string joined(const std::vector<std::string>& names, std::string_view sep) {
    std::string out;
    for (const auto& n : names) {
        if (!out.empty()) out += sep;
        out += n;
    }
    return out;
}

MergeResult run_job(const fs::path& given_zip_path, int nup, const JobEnvironment& env) {
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

    remove_left_overs(env.temp_root, zip_path.parent_path(), env.app_title);
    check_output_names(zip_path, nup, env.app_title);

    const platform::ScratchFolder scratch = make_scratch_folder(env.temp_root);
    const archive::Unpacked unpacked = archive::unpack_waybills(zip_path, scratch.path());
    const std::vector<archive::Waybill>& waybills = unpacked.waybills;
    if (waybills.empty()) throw diag::RuntimeError("В архиве не найдено PDF-файлов");
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
    std::vector<fs::path> pdf_files;
    std::vector<fs::path> new_pdf_files;
    for (std::size_t i = 0; i < waybills.size(); ++i) {
        pdf_files.push_back(waybills[i].path);
        if (!known.contains(entries[i].key)) new_pdf_files.push_back(waybills[i].path);
    }

    WrittenFiles written;
    auto merge = [&](const std::vector<fs::path>& files, bool new_only) {
        const fs::path wanted = make_output_path(zip_path, nup, new_only, env.app_title);
        return pdf::merge_selected(files, wanted, nup,
                                   [&](const fs::path& temp) { return place_output(temp, wanted, written); });
    };
    const pdf::MergeCounts all = merge(pdf_files, false);
    result.out_pdf_all = all.written;
    pdf::MergeCounts fresh;
    if (new_pdf_files.size() == pdf_files.size()) {
        result.out_pdf_new = result.out_pdf_all;
        fresh = all;
    } else if (!new_pdf_files.empty()) {
        fresh = merge(new_pdf_files, true);
        result.out_pdf_new = fresh.written;
    }
    // Recording and keeping the outputs are one step for a termination: a job whose
    // waybills are in the history keeps its files, and one whose are not, does not.
    platform::without_termination([&] {
        history::record_processed_waybills(env.app_dir, entries, nup);
        written.keep();
    });

    std::unordered_map<fs::path::string_type, std::string> names;
    for (const auto& w : waybills) names.emplace(w.path.native(), w.name);
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

fs::path unique_path(const fs::path& path) {
    if (!taken(path)) return path;
    for (unsigned long long i = 1;; ++i)
        if (fs::path candidate = numbered(path, i); !taken(candidate)) return candidate;
}

fs::path make_output_path(const fs::path& zip_path, int nup, bool new_only, std::string_view app_title) {
    std::string base = utf8(zip_path.stem());
    base += "_";
    base += app_title;
    if (new_only) base += "_NEW";
    base += "_MERGED";
    if (nup > 1) {
        base += "_";
        base += std::to_string(nup);
        base += "up";
    }
    base += ".pdf";
    return unique_path(zip_path.parent_path() / platform::path_from_utf8(base));
}

std::string mode_name(int nup, std::string_view lang) {
    if (!pdf::is_supported_layout(nup)) nup = 1;
    return i18n::t("mode_" + std::to_string(nup) + "up", lang);
}

MergeResult process_zip(const fs::path& zip_path, int nup, const JobEnvironment& env) {
    if (!pdf::is_supported_layout(nup)) nup = 1;
    try {
        try {
            return run_job(zip_path, nup, env);
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
