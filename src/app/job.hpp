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
    // Waybills MuPDF had to repair (a file cut short or damaged that still gave pages):
    // merged as far as they could be read; the user must check them. Names as in the
    // archive, in source order.
    std::vector<std::string> repaired{};
    // Files left out as repeats of a waybill of the same name although their content
    // differs from the one merged: one of them is not printed. Names as in the archive.
    std::vector<std::string> conflicting_duplicates{};
    // Damaged records of the history file that were skipped (the waybills in them count
    // as new), and where the file was kept as it was before.
    int skipped_history_records = 0;
    std::optional<fs::path> history_copy{};
};

// The result as named fields, values as text: first the 13 fields every reader knows,
// in their fixed order (UTF-8 paths; an empty text for a missing out_pdf_new), then
// "repaired" and "conflicting_duplicates", each the names joined by "|" (a character
// no unpacked name holds), empty when there are none, then "skipped_history_records"
// and "history_copy" (empty when none was made).
std::vector<std::pair<std::string, std::string>> merge_result_fields(const MergeResult& result);

// Runs one job. A layout outside 1, 4, 6, 9 is replaced by 1. Unpacks the archive
// into a private scratch folder (always removed), merges every waybill into the full
// output and the waybills the history does not know for this layout into the
// new-only output, records every waybill in the history, and returns the result.
//
// Jobs may run at once in several processes: what one job does with the history (load,
// select, merge, record) is serialised by the history lock, and an output name taken
// meanwhile makes the job take the next free " (n)" name. Before it starts, a job
// removes the scratch folders and hidden output files that killed jobs left behind
// (never a live job's). If the process is told to stop (platform/termination.hpp), the
// job's files are removed as after a failure.
//
// Throws diag::FileNotFound (no archive), diag::InvalidValue (not ".zip"), or
// diag::RuntimeError, every message in the user's language (from the settings under
// env.data_dir) naming the file or folder at fault; whatever the job wrote is deleted
// again before it throws, and the history is then left as it was.
MergeResult process_zip(const fs::path& zip_path, int nup, const JobEnvironment& env);

// An entry for the error log that a finished job asks for: the waybills MuPDF had to
// repair, so that a failed download can be traced later. The log's writer takes the
// title and the extra text as they are. No value when no waybill was repaired.
struct LogNote {
    std::string title;
    std::string extra;
};
std::optional<LogNote> repaired_waybills_log_note(const fs::path& zip_path, const MergeResult& result);

// A free path in the archive's folder: "<stem>_<app_title>[_NEW]_MERGED[_<n>up].pdf",
// numbered " (i)" when taken. Creates nothing.
fs::path make_output_path(const fs::path& zip_path, int nup, bool new_only, std::string_view app_title);

// `path` when nothing exists there, else the first "<stem> (i)<ext>" for i = 1, 2, ... that is free.
fs::path unique_path(const fs::path& path);

// Display name of a layout in a language ("4 на лист (2x2)"); an unknown layout is named as layout 1.
std::string mode_name(int nup, std::string_view lang);

}  // namespace app
