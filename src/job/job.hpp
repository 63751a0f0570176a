// The merge job: one waybill archive in, the full output and (when the archive mixes
// known and new waybills) the new-only output written beside the archive.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "job/result.hpp"

namespace job {

namespace fs = std::filesystem;

// The result as named fields, values as text: first the 13 fields every reader knows,
// in their fixed order (UTF-8 paths; an empty text for a missing out_pdf_new), then
// "repaired" and "conflicting_duplicates", each the names joined by "|" (a character
// no unpacked name holds), empty when there are none, then "skipped_history_records"
// and "history_copy" (empty when none was made).
std::vector<std::pair<std::string, std::string>> merge_result_fields(const MergeResult& result);

// Runs one job. A layout outside 1, 4, 6, 9 is replaced by 1. Reads the archive's
// waybills into memory (those past env.memory_budget into a private scratch folder,
// made only then and always removed) on a thread of its own, merging each into the full
// output as soon as it is read; then, with the history, the waybills it does not know
// for this layout into the new-only output; records every waybill in the history, and
// returns the result.
//
// Jobs may run at once in several processes: what one job does with the history (load,
// select, merge, record) is serialised by the history lock, and an output name taken
// meanwhile makes the job take the next free " (n)" name. The outputs stay hidden until
// the history holds their waybills, so that no output is visible without its waybills
// recorded, nor the other way round, whenever the process dies; the next job finishes
// or undoes the last steps of a job that died in them (app/pending_outputs.hpp). A job
// also removes the scratch folders and hidden output files that killed jobs left behind
// (never a live job's). If the process is told to stop (platform/termination.hpp)
// before the last steps, the job's files are removed as after a failure; during them,
// the stop waits until they are done.
//
// Throws diag::FileNotFound (no archive), diag::InvalidValue (not ".zip"), or
// diag::RuntimeError, every message in the user's language (from the settings under
// env.data_dir) naming the file or folder at fault; whatever the job wrote is deleted
// again before it throws, and the history is then left as it was.
// `progress`, when given, is told how far the job is.
MergeResult process_zip(const fs::path& zip_path, int nup, const JobEnvironment& env,
                        const ProgressCallback& progress = {});

// An entry for the error log that a finished job asks for: the waybills MuPDF had to
// repair, so that a failed download can be traced later. The log's writer takes the
// title and the extra text as they are. No value when no waybill was repaired.
struct LogNote {
    std::string title;
    std::string extra;
};
std::optional<LogNote> repaired_waybills_log_note(const fs::path& zip_path, const MergeResult& result);

}  // namespace job
