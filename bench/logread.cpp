// Prints the text of the display's clipboard (the CLIPBOARD selection, as
// UTF-8), for bench/resume.sh: it copies the program's log panel there with
// Ctrl+A, Ctrl+C and reads it with this.
//
// logread [TIMEOUT_MS]   (default 3000; the display is $DISPLAY)
// Exit status 0 with the text on stdout; 1 when nobody owns the clipboard or
// no answer came in time (or it came in pieces, which a log of a few lines
// never needs).
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/select.h>

int main(int argc, char** argv) {
    const int timeout = argc > 1 ? std::atoi(argv[1]) : 3000;
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "logread: cannot open the display\n");
        return 2;
    }
    const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    const Atom property = XInternAtom(display, "LOGREAD_TEXT", False);
    if (XGetSelectionOwner(display, clipboard) == None)
        return 1;
    // A window of our own to receive the text in one of its properties.
    const Window window =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    XConvertSelection(display, clipboard, utf8, property, window, CurrentTime);
    XFlush(display);

    // Waits for the owner's answer, on the connection's socket, until the deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    const int fd = ConnectionNumber(display);
    for (;;) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type != SelectionNotify)
                continue;
            if (event.xselection.property == None)
                return 1;
            Atom type;
            int format;
            unsigned long count, after;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(display, window, property, 0, 1 << 20, True, AnyPropertyType,
                                   &type, &format, &count, &after, &data) != Success ||
                !data || type != utf8) {
                if (data)
                    XFree(data);
                return 1;
            }
            std::fwrite(data, 1, count, stdout);
            std::fputc('\n', stdout);
            XFree(data);
            XCloseDisplay(display);
            return 0;
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return 1;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        timeval wait{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
        select(fd + 1, &readable, nullptr, nullptr, &wait);
    }
}
