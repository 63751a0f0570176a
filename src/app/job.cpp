#include "app/job.hpp"

#include <algorithm>
#include <system_error>

#include "archive/intake.hpp"
#include "diag/errors.hpp"
#include "history/store.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "i18n/unicode.hpp"
#include "pdf/merge.hpp"
#include "platform/scratch_folder.hpp"

namespace app {

namespace {

// Output files written by a job; deleted again unless the job completes.
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
    void add(const fs::path& p) { paths_.push_back(p); }
    void keep() { kept_ = true; }

private:
    std::vector<fs::path> paths_;
    bool kept_ = false;
};

platform::ScratchFolder make_scratch_folder(const fs::path& temp_root) {
    try {
        return platform::ScratchFolder(temp_root, "mergalo_");
    } catch (const fs::filesystem_error& e) {
        throw diag::RuntimeError("Не удалось создать временную папку в " + platform::utf8(temp_root) + ": " +
                                 e.code().message());
    }
}

std::string language(const JobEnvironment& env) { return i18n::current_language(env.data_dir); }

}  // namespace

std::vector<std::pair<std::string, std::string>> merge_result_fields(const MergeResult& r) {
    auto n = [](int v) { return std::to_string(v); };
    return {
        {"out_pdf", platform::utf8(r.out_pdf)},
        {"out_pdf_all", platform::utf8(r.out_pdf_all)},
        {"out_pdf_new", r.out_pdf_new ? platform::utf8(*r.out_pdf_new) : std::string()},
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
    };
}

fs::path unique_path(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return path;
    const fs::path folder = path.parent_path();
    const fs::path stem = path.stem();
    const fs::path ext = path.extension();
    for (unsigned long long i = 1;; ++i) {
        fs::path candidate = folder / stem;
        candidate += " (";
        candidate += std::to_string(i);
        candidate += ")";
        candidate += ext;
        if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
    }
}

fs::path make_output_path(const fs::path& zip_path, int nup, bool new_only, std::string_view app_title) {
    std::string base = platform::utf8(zip_path.stem());
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

MergeResult process_zip(const fs::path& given_zip_path, int nup, const JobEnvironment& env) {
    if (!pdf::is_supported_layout(nup)) nup = 1;

    std::error_code ec;
    if (!fs::exists(given_zip_path, ec))
        throw diag::FileNotFound(i18n::t("zip_not_found", language(env), {{"path", given_zip_path}}));
    if (i18n::fold_case(platform::utf8(given_zip_path.extension())) != ".zip")
        throw diag::InvalidValue(i18n::t("choose_zip", language(env)));

    const fs::path zip_path = fs::absolute(given_zip_path);
    MergeResult result;
    result.nup = nup;
    result.out_pdf_all = make_output_path(zip_path, nup, false, env.app_title);

    const platform::ScratchFolder scratch = make_scratch_folder(env.temp_root);
    const std::vector<fs::path> pdf_files = archive::extract_pdfs(zip_path, scratch.path());
    if (pdf_files.empty()) throw diag::RuntimeError("В архиве не найдено PDF-файлов");

    // Each file is hashed once: the same keys decide what is new and go into the history.
    const history::History known = history::load_waybill_history(env.app_dir);
    std::vector<history::Entry> entries;
    std::vector<fs::path> new_pdf_files;
    entries.reserve(pdf_files.size());
    for (const auto& file : pdf_files) {
        entries.push_back({history::key_for_file(file, nup), platform::utf8(file.filename())});
        if (!known.contains(entries.back().key)) new_pdf_files.push_back(file);
    }

    WrittenFiles written;
    const pdf::MergeCounts all = pdf::merge_selected(pdf_files, result.out_pdf_all, nup);
    written.add(result.out_pdf_all);
    pdf::MergeCounts fresh{0, 0};
    if (new_pdf_files.size() == pdf_files.size()) {
        result.out_pdf_new = result.out_pdf_all;
        fresh = all;
    } else if (!new_pdf_files.empty()) {
        result.out_pdf_new = make_output_path(zip_path, nup, true, env.app_title);
        fresh = pdf::merge_selected(new_pdf_files, *result.out_pdf_new, nup);
        written.add(*result.out_pdf_new);
    }
    history::record_processed_waybills(env.app_dir, entries, nup);
    written.keep();

    result.out_pdf = result.out_pdf_all;
    result.file_count = result.file_count_all = static_cast<int>(pdf_files.size());
    result.file_count_new = static_cast<int>(new_pdf_files.size());
    result.total_pages = result.total_pages_all = all.total_pages;
    result.total_pages_new = fresh.total_pages;
    result.final_sheets = result.final_sheets_all = all.final_sheets;
    result.final_sheets_new = fresh.final_sheets;
    return result;
}

}  // namespace app
