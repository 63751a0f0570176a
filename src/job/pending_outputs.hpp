// The note that ties a job's hidden outputs to its history update, so that a job
// killed in its last steps is finished or undone by the next one.
//
// A job writes its outputs under hidden names, writes this note, saves the history,
// makes the outputs visible and removes the note; all of it while it holds the history
// lock. A note found by the next holder of the lock belongs to a job that died (or
// failed) on the way: when the history holds the note's waybills from that job's
// update, its outputs are made visible; otherwise they are deleted. The note lives in
// the app folder, beside the history it belongs to: "waybill_history.pending" (numbered
// when a note that could not be settled yet is still there).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "history/store.hpp"

namespace job {

namespace fs = std::filesystem;

struct PendingOutput {
    fs::path hidden;   // where the finished output lies now
    fs::path visible;  // the name it is to get (numbered " (n)" when taken by then)
};

struct PendingOutputs {
    history::LocalTime recorded_at{};  // the time the job's history update gives its waybills
    std::vector<std::string> keys;     // history keys of every waybill the job records
    std::vector<PendingOutput> outputs;
};

// The notes in the app folder, in no particular order: "waybill_history.pending", and
// "waybill_history.<n>.pending" (n = 2, 3, ...) written while an older note still
// waited. Does not throw except std::bad_alloc.
std::vector<fs::path> pending_output_notes(const fs::path& app_dir);

// The first of those names that is free. Call under the history lock. Does not throw
// except std::bad_alloc.
fs::path free_note_path(const fs::path& app_dir);

// Writes (or rewrites) a note in one step, flushed to disk and its folder synced (it
// must be there before the history is), renamed with `renamer`. Throws
// std::filesystem::filesystem_error.
void write_pending_outputs(const fs::path& note, const PendingOutputs& pending,
                           platform::Renamer& renamer = platform::system_renamer());

// The note, or no value when there is none. A note that cannot be read or makes no
// sense (written by hand) gives no value too; it is then removed. Does not throw
// except std::bad_alloc.
std::optional<PendingOutputs> read_pending_outputs(const fs::path& note);

// Removes a note; false when it is still there. Does not throw.
bool remove_pending_outputs(const fs::path& note) noexcept;

// True when `history` holds every waybill of the note with the note's time or a later
// one: the job's history update was saved, and its outputs belong in sight.
bool pending_outputs_recorded(const PendingOutputs& pending, const history::History& history);

}  // namespace job
