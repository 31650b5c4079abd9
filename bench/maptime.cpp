// Start-up probe for bench/startup.sh: starts a program, times fork to its first top-level window
// mapped.
//
// maptime SECONDS PROGRAM [ARGS...]
// Watches the root window of $DISPLAY, forks and runs PROGRAM, and prints
// "MS RSS_KIB SHARED_OBJECTS": the milliseconds from the fork to the first
// mapped top-level window, then, SECONDS after the fork, the program's
// resident memory and the number of distinct shared objects it has mapped.
// The program is killed at the end. Run it on a display without a window
// manager, so that the program's windows are children of the root window.
#include <X11/Xlib.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

long ResidentKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// Distinct files named "*.so" or "*.so.*" in the program's mappings.
long SharedObjects(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::set<std::string> objects;
    std::string line;
    while (std::getline(maps, line)) {
        const auto slash = line.find('/');
        if (slash == std::string::npos)
            continue;
        const std::string path = line.substr(slash);
        const auto name = path.substr(path.rfind('/') + 1);
        if (name.find(".so") != std::string::npos)
            objects.insert(path);
    }
    return static_cast<long>(objects.size());
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: maptime SECONDS PROGRAM [ARGS...]\n");
        return 2;
    }
    const double settle = std::atof(argv[1]);
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "maptime: cannot open the display\n");
        return 2;
    }
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, False);

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child < 0)
        return 2;
    if (child == 0) {
        close(ConnectionNumber(display));
        execvp(argv[2], argv + 2);
        _exit(127);
    }

    double ms = -1;
    const int fd = ConnectionNumber(display);
    while (ms < 0) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && event.xmap.event == root &&
                !event.xmap.override_redirect) {
                ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                break;
            }
        }
        if (ms >= 0)
            break;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        timeval limit{10, 0};
        if (select(fd + 1, &readable, nullptr, nullptr, &limit) <= 0)
            break;
    }
    std::this_thread::sleep_until(start + std::chrono::duration<double>(settle));
    const long rss = ResidentKib(child);
    const long objects = SharedObjects(child);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    XCloseDisplay(display);
    if (ms < 0) {
        std::fprintf(stderr, "maptime: %s mapped no window\n", argv[2]);
        return 1;
    }
    std::printf("%.1f %ld %ld\n", ms, rss, objects);
    return 0;
}
