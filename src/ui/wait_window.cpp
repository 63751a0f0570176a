#include "ui/wait_window.hpp"

#include <algorithm>
#include <mutex>
#include <optional>

#include "i18n/catalogue.hpp"
#include "ui/tk.hpp"
#include "ui/window.hpp"

namespace ui {

namespace {

constexpr int WAIT_WIDTH = 420;
constexpr int WAIT_HEIGHT = 150;
constexpr int BAR_MAXIMUM = 1000;

// The job's latest progress, written by the job's thread and read by the window's.
class LatestProgress {
public:
    void set(const job::JobProgress& progress) {
        std::lock_guard<std::mutex> hold(mutex_);
        latest_ = progress;
    }
    std::optional<job::JobProgress> get() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return latest_;
    }

private:
    mutable std::mutex mutex_;
    std::optional<job::JobProgress> latest_;
};

}  // namespace

std::string progress_text(const job::JobProgress& progress, std::string_view lang) {
    using Stage = job::JobProgress::Stage;
    const bool new_only = progress.output == job::JobProgress::Output::new_only;
    switch (progress.stage) {
        case Stage::unpacking:
            return i18n::t("progress_unpacking", lang, {{"done", progress.done}, {"total", progress.total}});
        case Stage::waiting:
            return i18n::t("progress_waiting_history", lang);
        case Stage::merging:
            return i18n::t(new_only ? "progress_merging_new" : "progress_merging_all", lang,
                           {{"done", progress.done}, {"total", progress.total}});
        case Stage::saving:
            break;
    }
    return i18n::t(new_only ? "progress_saving_new" : "progress_saving_all", lang);
}

int progress_permille(const job::JobProgress& progress) {
    using Stage = job::JobProgress::Stage;
    const auto share = [](int from, int width, std::size_t done, std::size_t total) {
        if (total == 0) return from;
        done = std::min(done, total);
        return from +
               static_cast<int>(static_cast<double>(width) * static_cast<double>(done) / static_cast<double>(total));
    };
    switch (progress.stage) {
        case Stage::unpacking:
            return share(0, 50, progress.done, progress.total);
        case Stage::waiting:
        case Stage::merging:
        case Stage::saving:
            // Over every output of the job; a report without the job's totals covers
            // its own output alone.
            if (progress.job_total == 0) return share(50, 900, progress.done, progress.total);
            return share(50, 900, progress.done_before + progress.done, progress.job_total);
    }
    return 950;
}

namespace {

// The wait window's parts: the bar and the stage line are made with the window and
// packed only when the job takes longer than a moment.
struct WaitWindow {
    tk::Widget win;
    tk::Widget bar;
    tk::Widget stage;
};

WaitWindow build_wait_window(tk::Interp& in, const product::Context& ctx, const std::string& lang, const Scale& px) {
    const auto win = tk::Widget::create(in, "toplevel", ".", "wait");
    win.title(i18n::t("merging_title", lang));
    win.not_resizable();
    center_window(ctx, win, px(WAIT_WIDTH), px(WAIT_HEIGHT));
    // A merge cannot be stopped halfway without losing its work: the close box does nothing.
    win.on_close([] {});
    tk::Widget::create(in, "label", win.path(), "title",
                       {"-text", i18n::t("merging_title", lang), "-font", tk::font(13, "bold")})
        .pack({"-pady", tk::Word::list({px(22), px(8)})});
    tk::Widget::create(in, "label", win.path(), "hint",
                       {"-text", i18n::t("merging_hint", lang), "-font", tk::font(10), "-justify", "center"})
        .pack({"-pady", tk::Word::list({0, px(18)})});
    const auto bar = tk::Widget::create(
        in, "ttk::progressbar", win.path(), "bar",
        {"-orient", "horizontal", "-mode", "determinate", "-length", px(360), "-maximum", BAR_MAXIMUM, "-value", 0});
    const auto stage = tk::Widget::create(in, "label", win.path(), "stage", {"-font", tk::font(9)});
    return {win, bar, stage};
}

// Shows `now` on the bar and the stage line; the first time packs them, growing the
// window downwards so that the title and the hint stay where the user saw them.
void show_progress(tk::Interp& in, const WaitWindow& w, const Scale& px, const job::JobProgress& now, bool first,
                   const std::string& lang) {
    if (first) {
        w.bar.pack({"-pady", tk::Word::list({0, px(6)})});
        w.stage.pack({"-pady", tk::Word::list({0, px(14)})});
        in.update_idletasks();
        const int needed = in.call_int({"winfo", "reqheight", w.win.path()});
        in.call({"wm", "geometry", w.win.path(),
                 std::to_string(px(WAIT_WIDTH)) + "x" + std::to_string(std::max(needed, px(WAIT_HEIGHT)))});
    }
    w.bar.configure({"-value", progress_permille(now)});
    w.stage.configure({"-text", progress_text(now, lang)});
    in.update();
}

}  // namespace

job::MergeResult process_zip_with_wait(const product::Context& ctx, const WaitedJob& job, const WaitTiming& timing) {
    std::optional<tk::Interp> root;
    try {
        root.emplace();
    } catch (const tk::NoDisplay&) {
        return job({});  // no display: the job runs without its window
    }
    tk::Interp& in = *root;
    const std::string lang = ctx.language();
    const Scale px(in);
    const WaitWindow w = build_wait_window(in, ctx, lang, px);
    in.update_idletasks();
    in.update();

    LatestProgress latest;
    const auto started = std::chrono::steady_clock::now();
    std::optional<job::JobProgress> shown;
    const int refresh_ms = std::max<int>(1, static_cast<int>(timing.refresh_every.count()));
    std::string tick_command;
    const auto tick = [&] {
        try {
            if (std::chrono::steady_clock::now() - started >= timing.show_progress_after) {
                const auto now = latest.get();
                if (now && now != shown) {
                    show_progress(in, w, px, *now, !shown, lang);
                    shown = now;
                }
            }
            in.call({"after", refresh_ms, tick_command});
        } catch (const std::exception&) {
            // The progress is a courtesy: the job goes on without it.
        }
    };
    tick_command = in.command(tick);
    in.call({"after", refresh_ms, tick_command});

    const auto report = [&latest](const job::JobProgress& progress) { latest.set(progress); };
    std::optional<job::MergeResult> result;
    try {
        in.run_in_background([&] { result = job(report); });
    } catch (...) {
        detail::destroy_quietly(w.win);
        throw;
    }
    detail::destroy_quietly(w.win);
    return std::move(*result);
}

}  // namespace ui
