#include "platform/termination.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

namespace platform {

namespace fs = std::filesystem;

namespace {

// Process-wide by nature: a signal is. Never destroyed, so that a signal that arrives
// while the program exits still finds it.
std::list<fs::path>& registered() {
    static auto* paths = new std::list<fs::path>;
    return *paths;
}

// Removes a file or folder with everything in it, in rounds until it is gone: what is
// created in it meanwhile makes a round fail with "not empty", and the next one takes
// it. A short pause lets a writer that the system had stopped finish its one step.
void remove_in_rounds(const fs::path& path) noexcept {
    for (int round = 0; round < 50; ++round) {
        std::error_code ec;
        fs::remove_all(path, ec);
        if (!ec) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Removes a file, or a folder with everything in it, while the work may still be
// writing into it: a folder is first moved aside in one step, so that nothing the work
// starts to write by name afterwards lands in it. A file the work was creating at that
// moment still may (the system found the folder before it was moved), at most one per
// thread; once the folder itself is removed, nothing more can, so the removal is
// repeated until it succeeds.
void remove_now(const fs::path& path) noexcept {
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(path, ec))) {
        fs::path aside = path;
        aside += ".removed";
        fs::rename(path, aside, ec);
        if (!ec) {
            remove_in_rounds(aside);
            return;
        }
    }
    remove_in_rounds(path);
}

// Removes every registered path, newest first, and keeps the lock: the process ends
// right after, and nothing may register or commit meanwhile.
void clean_up_for_termination() noexcept {
    detail::termination_mutex().lock();
    auto& paths = registered();
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) remove_now(*it);
}

#ifdef _WIN32
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            clean_up_for_termination();
            ExitProcess(1);
        default:
            return FALSE;
    }
}
#else
constexpr int TERMINATION_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT};

sigset_t termination_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : TERMINATION_SIGNALS) sigaddset(&set, sig);
    return set;
}

// The stop signal taken, 0 before one came.
std::atomic<int> arrived_signal{0};

// Cleans up and ends the process as signal `sig` would have ended it, so the parent
// sees it; from the calling thread.
[[noreturn]] void end_by(int sig) noexcept {
    clean_up_for_termination();
    ::signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
}

void wait_for_termination(sigset_t set) noexcept {
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {}
    arrived_signal.store(sig);
    end_by(sig);
}
#endif

}  // namespace

namespace detail {

std::recursive_mutex& termination_mutex() {
    static auto* mutex = new std::recursive_mutex;
    return *mutex;
}

int& termination_hold_depth() noexcept {
    thread_local int depth = 0;
    return depth;
}

void end_if_termination_arrived() noexcept {
#ifndef _WIN32
    int sig = arrived_signal.load();
    if (sig == 0) {
        // A stop signal still waiting for the signal thread (which may not have run yet
        // on a busy machine) is taken here; once one thread takes it, the other cannot.
        const sigset_t set = termination_set();
        const timespec now{0, 0};
        sig = sigtimedwait(&set, nullptr, &now);
        if (sig <= 0) return;
        arrived_signal.store(sig);
    }
    end_by(sig);
#endif
}

}  // namespace detail

void enable_cleanup_on_termination() {
    static std::once_flag once;
    std::call_once(once, [] {
#ifdef _WIN32
        SetConsoleCtrlHandler(on_console_event, TRUE);
#else
        const sigset_t set = termination_set();
        if (int err = pthread_sigmask(SIG_BLOCK, &set, nullptr); err != 0)
            throw std::system_error(err, std::generic_category(), "pthread_sigmask");
        std::thread(wait_for_termination, set).detach();
#endif
    });
}

RemoveOnTermination::RemoveOnTermination(RemoveOnTermination&& other) noexcept {
    std::lock_guard<std::recursive_mutex> hold(detail::termination_mutex());
    entry_ = other.entry_;
    registered_ = std::exchange(other.registered_, false);
}

RemoveOnTermination& RemoveOnTermination::operator=(RemoveOnTermination&& other) noexcept {
    if (this != &other) {
        std::lock_guard<std::recursive_mutex> hold(detail::termination_mutex());
        reset();
        entry_ = other.entry_;
        registered_ = std::exchange(other.registered_, false);
    }
    return *this;
}

void RemoveOnTermination::reset(fs::path path) {
    std::lock_guard<std::recursive_mutex> hold(detail::termination_mutex());
    reset();
    auto& paths = registered();
    entry_ = paths.insert(paths.end(), std::move(path));
    registered_ = true;
}

void RemoveOnTermination::reset() noexcept {
    std::lock_guard<std::recursive_mutex> hold(detail::termination_mutex());
    if (!registered_) return;
    registered().erase(entry_);
    registered_ = false;
}

}  // namespace platform
