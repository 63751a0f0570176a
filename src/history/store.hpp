// Waybill history store: which waybill PDFs were merged, in which layout, and when.
// Dates are read and written by history/dates.hpp, CSV records by history/csv.hpp.
//
// The history is a CSV file "waybill_history.csv" in the history's folder, read whole into a
// map at the start of a merge job and rewritten whole after it. A waybill is known by
// its key: a SHA-256 over its normalised file name, the SHA-256 of its bytes and the
// layout. Entries older than RETENTION_DAYS days are dropped on every load.
//
// This unit reads no environment variables and no folders of its own: the history's folder and
// the current local time are arguments. Texts are UTF-8. Times are local wall-clock
// times without a zone, to the microsecond.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "history/dates.hpp"
#include "platform/claims.hpp"
#include "platform/staged_file.hpp"

namespace history {

// How long the history remembers a waybill, in days: a waybill not merged for longer
// counts as new again.
inline constexpr int RETENTION_DAYS = 3;

// One history entry.
struct Record {
    std::string name;        // file name: last path component, blanks at both ends removed
    LocalTime processed_at;  // when the waybill was last recorded
    int nup = 0;             // layout it was merged in; 0 when the file gave none
    // Fields of the file's row after the four of ours (a later version's columns, or a
    // spreadsheet's), as they were read; written back after ours.
    std::vector<std::string> extra{};
};

// Key (64 lower-case hex digits, or a normalised name for rows of old two-column
// files) to record.
using History = std::unordered_map<std::string, Record>;

// A waybill whose key the caller has already computed (with history_key_for_digest).
struct Entry {
    std::string key;
    std::string name;  // file name; only its last path component is kept
};

// history_dir / "waybill_history.csv". Does not throw.
std::filesystem::path history_csv_path(const std::filesystem::path& history_dir);

// Key of a waybill: lower-case hex SHA-256 of the UTF-8 text
// normalize_waybill_name(file_name) + ":" + hex SHA-256 of content + ":" + nup.
// Throws diag::RuntimeError when the digest cannot be computed.
std::string history_key(std::string_view file_name, std::string_view content, int nup);

// history_key of content whose SHA-256 is already known (64 lower-case hex digits, as
// the archive intake takes it while unpacking), without reading the content again.
// Throws diag::RuntimeError when the digest cannot be computed.
std::string history_key_for_digest(std::string_view file_name, std::string_view content_sha256, int nup);

// How long a job waits for the history while another job holds it. A job holds it from
// the load to the record, its merge included: minutes only when several large archives
// wait in turn, or when another program keeps the lock file locked.
inline constexpr std::chrono::milliseconds HISTORY_WAIT = std::chrono::minutes(5);

// The lock that serialises what one job does with the history (load, select, record,
// save) against other jobs: held while the handle lives, waited for at most `wait`
// when another process holds it (`on_wait` is told once, when the wait begins), and
// released by the system when a process ends in any way. The lock file
// "waybill_history.lock" in the history's folder is created when missing and never removed.
// Throws diag::RuntimeError: "history_lock_busy" (naming the lock file) when it is still
// held after `wait`, "history_lock_failed" when it cannot be taken at all.
using HistoryLock = std::unique_ptr<platform::FileLock>;
std::filesystem::path history_lock_path(const std::filesystem::path& history_dir);
HistoryLock lock_history(const std::filesystem::path& history_dir, std::chrono::milliseconds wait = HISTORY_WAIT,
                         const std::function<void()>& on_wait = {});

// Rewrites the history file whole: UTF-8 with a byte-order mark, ";" separated, CR LF
// record ends, the header row, then the entries newest first (case-folded name
// descending on equal times), each with its extra fields after the four of ours.
// Written to a temporary file of its own beside it (".waybill_history.csv.XXXXXX.tmp",
// so that jobs running at once never share one), flushed, renamed over the file with
// `renamer` and the folder synced, so that the saved history survives a power cut
// before anything that relies on it is shown. A history file that is a symbolic link
// is written through to the file it leads to; a read-only one is not replaced. The
// temporary file never outlives the call, and those of processes that died are
// removed. Throws diag::RuntimeError ("history_save_failed", with the advice for a full
// disk, no access (a read-only file), ...); the history file then keeps its previous
// content, unless only the sync of its folder failed.
void save_waybill_history(const std::filesystem::path& history_dir, const History& history,
                          platform::Renamer& renamer = platform::system_renamer());

// What one load of the history file gave.
struct Loaded {
    History history;
    // Damaged records of the file, left out: a quoted field never closed, text after a
    // closing quote, a line break inside a field, bytes that are not UTF-8 (but in a
    // header row saved in CP1251 or CP866). Rows the file's rules pass over (empty
    // lines, fewer than two fields, no name, no readable date, header rows) do not count.
    int skipped = 0;
    // Where the file was kept as it was before the records were left out (set when
    // `skipped` is not 0).
    std::optional<std::filesystem::path> damaged_copy{};
};

// Reads the history file of `history_dir`, drops entries older than `now` minus
// RETENTION_DAYS days, and rewrites the file (with `renamer`) when it dropped any,
// when the file was missing (a header-only file is created) or when damaged records
// were skipped. Every good
// record is kept; damaged ones are skipped and counted, and the file as it was is
// first kept beside it as "waybill_history.csv.bad", or "waybill_history.csv.<n>.bad"
// for the first n = 2, 3, ... that is free, so that an earlier copy is never
// overwritten and the skipped records can still be recovered by hand.
// A file that cannot be read at all (no access, an I/O error, locked by another
// program) throws diag::RuntimeError ("history_read_failed") and is left as it is:
// forgetting it would make every waybill in it new again. Throws diag::RuntimeError
// ("history_save_failed") when the copy or the rewrite fails; the file then keeps its
// previous content.
Loaded load_history(const std::filesystem::path& history_dir, LocalTime now = local_now(),
                    platform::Renamer& renamer = platform::system_renamer());

// Loads the history (pruning it), stores every entry under its key with its file name,
// `nup` and `now` (an earlier record of the same key takes them and keeps its extra
// fields) and saves the history, loaded and saved with `renamer`. Throws what
// load_history and save_waybill_history throw.
void record_processed_waybills(const std::filesystem::path& history_dir, const std::vector<Entry>& entries, int nup,
                               LocalTime now = local_now(), platform::Renamer& renamer = platform::system_renamer());

namespace detail {

// Merges the records of one history file into `history`. Damaged records (see
// Loaded::skipped) are skipped and counted. Rows with fewer than two fields, an empty
// name or an unreadable date are passed over without counting; so are header rows
// (first field "Имя PDF", "file_name" or "filename", any case, and no date), also one
// saved in CP1251 or CP866. A missing or empty key field gives the normalised name as
// key; a missing or non-integer layout gives 0; fields after the fourth are kept as
// the record's extra fields. Among equal keys the later time wins, and the first row
// read on equal times. Returns the number of damaged records.
int merge_history_text(std::string_view text, History& history);

// The history file's text as save_waybill_history writes it.
std::string history_text(const History& history);

// The same for a file; a missing file changes nothing. Throws diag::RuntimeError
// ("file_read_failed") when the file cannot be read.
int merge_history_csv(const std::filesystem::path& path, History& history);

}  // namespace detail

}  // namespace history
