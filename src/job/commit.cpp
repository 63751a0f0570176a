#include "job/commit.hpp"

#include <chrono>
#include <system_error>

#include "diag/errors.hpp"
#include "job/output_names.hpp"
#include "platform/platform.hpp"

namespace job {

namespace {

using platform::utf8;

// Moves a finished output from `hidden` to `wanted`, or to its first free numbered
// variant when a file took that name meanwhile (a job of another copy of the program
// on the same folder); never over an existing file. Then syncs the folder, so that a
// power cut keeps the output only after the history that holds its waybills, whose
// folder was synced before. Returns where it went. Throws
// std::filesystem::filesystem_error.
fs::path place_output(const fs::path& hidden, const fs::path& wanted, platform::Renamer& renamer) {
    for (unsigned long long i = 0;; ++i) {
        const fs::path candidate = i == 0 ? wanted : numbered(wanted, i);
        if (taken(candidate)) continue;
        try {
            renamer.rename_no_replace(hidden, candidate);
        } catch (const fs::filesystem_error& e) {
            if (e.code() == std::errc::file_exists) continue;
            throw;
        }
        renamer.sync_folder(candidate.parent_path());
        return candidate;
    }
}

// Whether the history file holds the note's waybills from its job's update (the file
// keeps whole seconds), or cannot be read to tell.
bool history_may_hold(const fs::path& history_dir, PendingOutputs pending) {
    pending.recorded_at = std::chrono::floor<std::chrono::seconds>(pending.recorded_at);
    try {
        history::History saved;
        history::detail::merge_history_csv(history::history_csv_path(history_dir), saved);
        return pending_outputs_recorded(pending, saved);
    } catch (const std::exception&) {
        return true;
    }
}

}  // namespace

// The renames and folder syncs of a job's last steps.
platform::Renamer& renamer_of(const JobEnvironment& env) {
    return env.renamer ? *env.renamer : platform::system_renamer();
}

void remove_dead_hidden_outputs(const fs::path& archive_folder, std::string_view app_title,
                                const std::vector<PendingOutput>& waiting) {
    platform::remove_dead_temp_files(archive_folder, [&](std::string_view name) {
        for (const PendingOutput& o : waiting)
            if (o.hidden.parent_path() == archive_folder && utf8(o.hidden.filename()) == name) return false;
        return is_output_name(name, app_title);
    });
}

std::vector<PendingOutput> settle_pending_outputs(const fs::path& history_dir, const history::History& known,
                                                  platform::Renamer& renamer) {
    std::vector<PendingOutput> waiting;
    for (const fs::path& note : pending_output_notes(history_dir)) {
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
                place_output(o.hidden, o.visible, renamer);
            } catch (const fs::filesystem_error&) {
                left.push_back(o);
            }
        }
        if (left.empty()) {
            remove_pending_outputs(note);
        } else if (left.size() != pending->outputs.size()) {
            pending->outputs = left;
            try {
                write_pending_outputs(note, *pending, renamer);
            } catch (const fs::filesystem_error&) {
                // The old note lists these too; the outputs already shown are skipped as gone.
            }
        }
        waiting.insert(waiting.end(), left.begin(), left.end());
    }
    return waiting;
}

std::vector<fs::path> finish_outputs(const JobEnvironment& env, const std::vector<history::Entry>& entries, int nup,
                                     HiddenOutputs& outputs) {
    auto step = [&](LastStep s) {
        if (env.at_last_step) env.at_last_step(s);
    };
    platform::Renamer& renamer = renamer_of(env);
    return platform::without_termination([&] {
        step(LastStep::outputs_written);
        PendingOutputs pending;
        pending.recorded_at = history::local_now();
        for (const history::Entry& e : entries) pending.keys.push_back(e.key);
        pending.outputs = outputs.outputs();
        const fs::path note = free_note_path(env.history_dir);
        try {
            write_pending_outputs(note, pending, renamer);
        } catch (const fs::filesystem_error& e) {
            throw diag::file_error("history_save_failed", e, history::history_csv_path(env.history_dir));
        }
        step(LastStep::note_written);
        try {
            history::record_processed_waybills(env.history_dir, entries, nup, pending.recorded_at, renamer);
        } catch (...) {
            if (history_may_hold(env.history_dir, pending))
                outputs.keep();
            else
                remove_pending_outputs(note);
            throw;
        }
        outputs.keep();
        step(LastStep::history_saved);
        outputs.release_claims();
        std::vector<fs::path> shown;
        for (const PendingOutput& o : pending.outputs) {
            try {
                shown.push_back(place_output(o.hidden, o.visible, renamer));
            } catch (const fs::filesystem_error& e) {
                throw diag::file_error("pdf_write_failed", o.visible, e.code());
            }
            step(LastStep::output_shown);
        }
        remove_pending_outputs(note);
        return shown;
    });
}

}  // namespace job
