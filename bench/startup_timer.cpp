// Times a program from its start: until it exits, or until it maps a top-level window
// with a given title (then the window is asked to close, as its close box does, and
// the program's exit is awaited).
//
//   startup_timer [--until-mapped TITLE] -- PROGRAM [ARG...]
//
// Prints "<seconds> <exit code>" on standard output; the program's standard output is
// discarded, its standard error kept. Exit status 0 when the program
// ran (whatever its own exit code), 2 on a usage error, 1 when the window never
// appeared before the program ended. Watching windows needs DISPLAY (under Xvfb there
// is no window manager, so top-level windows are children of the root window).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::string window_title(Display* display, Window w) {
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom net_name = XInternAtom(display, "_NET_WM_NAME", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, w, net_name, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
            Success &&
        data != nullptr) {
        title.assign(reinterpret_cast<char*>(data), count);
        XFree(data);
        return title;
    }
    char* name = nullptr;
    if (XFetchName(display, w, &name) && name != nullptr) {
        title = name;
        XFree(name);
    }
    return title;
}

void ask_to_close(Display* display, Window w) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, w, False, NoEventMask, &e);
    XFlush(display);
}

}  // namespace

int main(int argc, char** argv) {
    std::string title;
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "--until-mapped") == 0) {
        title = argv[i + 1];
        i += 2;
    }
    if (i >= argc || std::strcmp(argv[i], "--") != 0 || i + 1 >= argc) {
        std::fprintf(stderr, "usage: startup_timer [--until-mapped TITLE] -- PROGRAM [ARG...]\n");
        return 2;
    }
    char** program = argv + i + 1;

    Display* display = nullptr;
    if (!title.empty()) {
        display = XOpenDisplay(nullptr);
        if (display == nullptr) {
            std::fprintf(stderr, "startup_timer: cannot open the display\n");
            return 2;
        }
        // Watch windows appearing under the root before the program starts.
        XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
        XSync(display, False);
    }

    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        // The program's own output would mix with the figures: it goes nowhere.
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 1);
        execv(program[0], program);
        _exit(127);
    }
    if (pid < 0) return 2;

    int status = 0;
    if (display == nullptr) {
        waitpid(pid, &status, 0);
        std::printf("%.3f %d\n", seconds_since(start), exit_code(status));
        return 0;
    }

    for (;;) {
        while (XPending(display) > 0) {
            XEvent e;
            XNextEvent(display, &e);
            if (e.type != MapNotify || e.xmap.event != DefaultRootWindow(display)) continue;
            if (window_title(display, e.xmap.window) != title) continue;
            const double mapped = seconds_since(start);
            ask_to_close(display, e.xmap.window);
            waitpid(pid, &status, 0);
            std::printf("%.3f %d\n", mapped, exit_code(status));
            XCloseDisplay(display);
            return 0;
        }
        if (waitpid(pid, &status, WNOHANG) == pid) {
            std::fprintf(stderr, "startup_timer: the program ended (exit %d) before showing \"%s\"\n",
                         exit_code(status), title.c_str());
            XCloseDisplay(display);
            return 1;
        }
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        poll(&fd, 1, 5);
    }
}
