// What a merge job needs from the program around it and what it gives back: the
// types the windows show and the entry hands over, apart from the job itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive/intake.hpp"
#include "history/store.hpp"
namespace platform {
class Renamer;
}

namespace job {

namespace fs = std::filesystem;

// How far a job is: opening the archive (reported once, as none done of its members),
// merging (waybills copied of waybills in all, each as soon as it is read: every output
// is filled in the same pass), waiting for the history while another job holds it
// (all waybills copied), saving each output (done and total then give that output's
// waybills).
struct JobProgress {
    enum class Stage { unpacking, waiting, merging, saving };
    // The output being merged or saved: the one with every waybill, or the new-only one.
    enum class Output { all, new_only };
    Stage stage = Stage::unpacking;
    std::size_t done = 0;
    std::size_t total = 0;
    Output output = Output::all;
    // Merging and saving: the waybills counted before this report's own, and of the
    // whole job, so that one bar can run over every step.
    std::size_t done_before = 0;
    std::size_t job_total = 0;
    friend bool operator==(const JobProgress&, const JobProgress&) = default;
};

// Told the job's progress, on the job's thread, as often as each waybill; it must be
// cheap and must not throw.
using ProgressCallback = std::function<void(const JobProgress&)>;

// The moments between a job's last steps, in their order: the outputs are finished
// under hidden names; the note that ties them to the history update is written; the
// history is saved; one output is made visible (once per output).
enum class LastStep { outputs_written, note_written, history_saved, output_shown };

// What a job needs from the program around it. The app layer fills it from the
// program's folders; tests point it at temporary folders.
struct JobEnvironment {
    fs::path history_dir;   // folder of the waybill history file
    fs::path data_dir;      // per-user data folder: the settings give the messages' language
    fs::path temp_root;     // the job's scratch folder is made inside it, when a waybill needs a file
    std::string app_title;  // the marker in output file names
    // How long the job waits for the history while another job holds it.
    std::chrono::milliseconds history_wait = history::HISTORY_WAIT;
    // Called at each moment of the last steps, for tests that stop a job there. None in
    // the program.
    std::function<void(LastStep)> at_last_step{};
    // Renames and folder syncs of the history, its note and the outputs; the system's
    // (platform::system_renamer) when none. Tests pass a double that records their order.
    platform::Renamer* renamer = nullptr;
    // The most bytes of waybills held in memory at once; the others go to files in the
    // scratch folder. Tests set 0 to send every waybill there.
    std::uint64_t memory_budget = archive::MEMORY_BUDGET_BYTES;
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
    // merged as far as they could be read; the user must check them. Paths inside the
    // archive ("день2/Заказ_X.pdf"), in source order.
    std::vector<std::string> repaired{};
    // Files left out as repeats of a waybill of the same name although their content
    // differs from the one merged: one of them is not printed. Paths inside the archive.
    std::vector<std::string> conflicting_duplicates{};
    // Damaged records of the history file that were skipped (the waybills in them count
    // as new), and where the file was kept as it was before.
    int skipped_history_records = 0;
    std::optional<fs::path> history_copy{};
};

}  // namespace job
