// The job's last steps: how its finished outputs become visible together with the
// history update that records their waybills, whatever moment the process dies at.
//
// A job finishes its outputs under hidden names beside their visible ones (claimed, so
// that no other job's sweep takes them), then, all under the history lock:
// - writes the note that ties them to its history update (job/pending_outputs.hpp);
// - saves the history with its waybills;
// - makes each output visible (numbered " (n)" when its name was taken meanwhile);
// - removes the note.
// What a process that dies at any moment between them leaves:
// - before the note is written: hidden outputs only, nothing recorded; the next job on
//   this folder deletes them (unclaimed, a minute old);
// - note written, history not saved yet: the next job (on any archive) finds the
//   waybills not recorded at the note's time and deletes the hidden outputs;
// - history saved, outputs (some or all) still hidden: the next job finds the waybills
//   recorded and makes the outputs visible;
// - outputs visible, note not yet removed: the next job removes the note.
// Every rename that makes something durable is followed by a sync of its folder (the
// history's before any output is shown, the archive's after), so that a power cut
// never keeps an output whose history was lost. A termination signal waits until the
// steps are done.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include "history/store.hpp"
#include "job/pending_outputs.hpp"
#include "job/result.hpp"
#include "platform/claims.hpp"
#include "platform/staged_file.hpp"
#include "platform/termination.hpp"

namespace job {

namespace fs = std::filesystem;

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

// The renames and folder syncs of a job's last steps: the environment's, else the system's.
platform::Renamer& renamer_of(const JobEnvironment& env);

// Finishes or undoes the last steps of jobs that died (or failed) in them, as their
// notes say: with their waybills in the history, their outputs are made visible;
// without, deleted. Run under the history lock, before the job looks at any output
// name. Returns the outputs that could not be made visible yet; they stay hidden and in
// their note for the next job. Never throws except std::bad_alloc.
std::vector<PendingOutput> settle_pending_outputs(const fs::path& app_dir, const history::History& known,
                                                  platform::Renamer& renamer);

// Removes the hidden outputs that killed jobs left in the archive's folder (ours carry
// the product title in their name), but not those still waiting to be shown: run under
// the history lock, after settle_pending_outputs. Claimed ones are live jobs' and stay.
// Never throws.
void remove_dead_hidden_outputs(const fs::path& archive_folder, std::string_view app_title,
                                const std::vector<PendingOutput>& waiting);

// The last steps for `outputs`, recording `entries` in layout `nup`. A failure before
// the history is saved deletes the outputs, and the history stays as it was; after a
// history update that failed only in syncing its folder (the history, read once more,
// holds the waybills), the outputs stay hidden with the note for the next job; a
// failure to show an output after the history is saved leaves the note for the next
// job and is reported. Returns the visible paths, in the order the outputs were added.
// Throws diag::RuntimeError ("history_save_failed", "pdf_write_failed").
std::vector<fs::path> finish_outputs(const JobEnvironment& env, const std::vector<history::Entry>& entries, int nup,
                                     HiddenOutputs& outputs);

}  // namespace job
