// The wait window around a merge job: the job runs on a thread of its own while the
// window keeps answering (it repaints, and its close box is ignored); a job that lasts
// longer than a moment gets a progress bar with its stage and counts.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "job/result.hpp"
#include "product/context.hpp"

namespace ui {

// When the progress appears and how often it changes.
struct WaitTiming {
    // A job done sooner shows only the title and the hint, as a small archive should.
    std::chrono::milliseconds show_progress_after{500};
    // The bar and its line change at most this often.
    std::chrono::milliseconds refresh_every{250};
};

// A job as the wait window runs it: told where to report its progress.
using WaitedJob = std::function<job::MergeResult(const job::ProgressCallback& progress)>;

// Shows the wait window in the context's current language, runs `job` on a worker thread while
// the window's event loop runs, closes the window and returns the job's result. The
// job's failure passes through unchanged after the window is gone. Without a display
// the job runs on this thread without the window (and without progress). The job must
// not touch Tk.
job::MergeResult process_zip_with_wait(const product::Context& ctx, const WaitedJob& job,
                                       const WaitTiming& timing = {});

// The progress line under the bar, in `lang`: "Распаковка архива: 3 из 10", ...
std::string progress_text(const job::JobProgress& progress, std::string_view lang);

// How much of the whole job is done, 0 to 1000 for the bar: opening the archive fills
// the first 5 %, merging (the archive is read meanwhile) up to 95 %, where the bar
// stays while the job waits for the history and saves.
int progress_permille(const job::JobProgress& progress);

}  // namespace ui
