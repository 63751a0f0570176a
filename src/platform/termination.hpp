// Clean-up when the process is told to stop: SIGTERM, SIGHUP and SIGINT here; Ctrl+C,
// Ctrl+Break, closing the console, log-off and shut-down on Windows. What a job
// registers (its scratch folder, half-written files, outputs not yet recorded) is
// removed as a failure would remove it, and the process then ends as the signal says.
//
// The signals are taken by a thread of their own, never by a handler that interrupts
// the work, so the clean-up runs as ordinary code; and the work can mark the steps that
// must never be seen half done (without_termination).
#pragma once

#include <filesystem>
#include <list>
#include <mutex>
#include <utility>

namespace platform {

// Starts the clean-up on termination, once per process; later calls do nothing. Call
// it at start-up before any other thread exists: the signals are blocked in the
// calling thread (and so in every thread it starts) and taken by a thread that, on the
// first one, removes every registered path, newest first, and ends the process by the
// same signal. Processes started later get the usual signal mask back. Throws
// std::system_error when the thread cannot be started.
void enable_cleanup_on_termination();

// A path (a file, or a folder with everything in it) removed if the process is told to
// stop while the object lives and is not reset. The destructor only unregisters.
// Registration works whether or not the clean-up was enabled.
class RemoveOnTermination {
public:
    RemoveOnTermination() = default;
    explicit RemoveOnTermination(std::filesystem::path path) { reset(std::move(path)); }
    ~RemoveOnTermination() { reset(); }
    RemoveOnTermination(const RemoveOnTermination&) = delete;
    RemoveOnTermination& operator=(const RemoveOnTermination&) = delete;
    RemoveOnTermination(RemoveOnTermination&& other) noexcept;
    RemoveOnTermination& operator=(RemoveOnTermination&& other) noexcept;

    // Registers `path` instead (or nothing). Never throws except std::bad_alloc.
    void reset(std::filesystem::path path);
    void reset() noexcept;

private:
    std::list<std::filesystem::path>::iterator entry_{};
    bool registered_ = false;
};

namespace detail {
std::recursive_mutex& termination_mutex();

// How deep the calling thread is in without_termination blocks.
int& termination_hold_depth() noexcept;

// Ends the process as a stop signal that arrived during the steps just finished asks
// (clean-up first), from the calling thread, which holds the termination lock; nothing
// when none arrived. So the signal ends the process before the work goes on, whichever
// thread the lock goes to next.
void end_if_termination_arrived() noexcept;
}  // namespace detail

// Runs f() so that a termination that arrives meanwhile waits until f is done: the
// files f changes and the registrations it makes or drops are never seen half done.
// Returns what f returns.
template <class F>
decltype(auto) without_termination(F&& f) {
    std::lock_guard<std::recursive_mutex> hold(detail::termination_mutex());
    struct Depth {
        Depth() noexcept { ++detail::termination_hold_depth(); }
        ~Depth() {
            if (--detail::termination_hold_depth() == 0) detail::end_if_termination_arrived();
        }
    } depth;
    return std::forward<F>(f)();
}

}  // namespace platform
