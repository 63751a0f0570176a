// The merge job: one waybill archive in, the full output and (when the archive mixes
// known and new waybills) the new-only output written beside the archive.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace app {

namespace fs = std::filesystem;

// What a job needs from the program around it. The app layer fills it from the
// program's folders; tests point it at temporary folders.
struct JobEnvironment {
    fs::path app_dir;       // folder of the waybill history file
    fs::path data_dir;      // per-user data folder: the settings give the messages' language
    fs::path temp_root;     // the job's scratch folder is made inside it
    std::string app_title;  // the marker in output file names
};

// The record a job returns. The four unsuffixed members repeat the full output's values.
struct MergeResult {
    fs::path out_pdf;
    fs::path out_pdf_all;
    std::optional<fs::path> out_pdf_new;  // == out_pdf_all when every waybill is new; none when none is
    int file_count = 0;
    int file_count_all = 0;
    int file_count_new = 0;
    int total_pages = 0;
    int total_pages_all = 0;
    int total_pages_new = 0;
    int final_sheets = 0;
    int final_sheets_all = 0;
    int final_sheets_new = 0;
    int nup = 1;
};

// The result as its 13 named fields, in a fixed order, values as text (UTF-8 paths;
// an empty text for a missing out_pdf_new).
std::vector<std::pair<std::string, std::string>> merge_result_fields(const MergeResult& result);

// Runs one job. A layout outside 1, 4, 6, 9 is replaced by 1. Unpacks the archive
// into a private scratch folder (always removed), merges every waybill into the full
// output and the waybills the history does not know for this layout into the
// new-only output, records every waybill in the history, and returns the result.
// Throws diag::FileNotFound (no archive), diag::InvalidValue (not ".zip"), or the
// failure of a later step; whatever the job wrote is deleted again before it throws.
MergeResult process_zip(const fs::path& zip_path, int nup, const JobEnvironment& env);

// A free path in the archive's folder: "<stem>_<app_title>[_NEW]_MERGED[_<n>up].pdf",
// numbered " (i)" when taken. Creates nothing.
fs::path make_output_path(const fs::path& zip_path, int nup, bool new_only, std::string_view app_title);

// `path` when nothing exists there, else the first "<stem> (i)<ext>" for i = 1, 2, ... that is free.
fs::path unique_path(const fs::path& path);

// Display name of a layout in a language ("4 на лист (2x2)"); an unknown layout is named as layout 1.
std::string mode_name(int nup, std::string_view lang);

}  // namespace app
