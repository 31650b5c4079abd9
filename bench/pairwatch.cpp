// Screen watcher of the LAN benchmarks (bench/lan-lib.sh): samples one Quorin's display and
// prints what it shows whenever that changes.
//
// pairwatch [PERIOD_MS]   (default 100; the display is $DISPLAY)
// Every period it reads the window manager's client list and a few pixels of
// the root window, and prints one line when any field differs from the last:
//   MS <tab> POPUP <tab> MAIN <tab> BOXES <tab> BOARD
//   MS     wall-clock milliseconds since the epoch (as `date +%s%3N`)
//   POPUP  none | plain | choice | question | notice: the rounded popup at
//          the centre of the screen (lime border), with two buttons and the
//          two piece pictures (the first-move choice, or the result), with two
//          buttons and no pictures (the question whether to go on with the
//          last game), with an "OK" button, or with none of them
//   MAIN   x,y,w,h of the main window's client area, or "-"
//   BOXES  the other windows on the screen, "title wxh" joined by "|", or "-"
//          (the popup's own window is left out)
//   BOARD  the 8x8 board column by column: A red, B blue, . neither; "-"
//          while there is no main window
// It ends when the display goes away. Needs a window manager that keeps
// _NET_CLIENT_LIST (openbox does) and a 24-bit TrueColor screen (Xvfb).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// The popup: a fixed-size frameless window centred on the screen.
constexpr int kPopupW = 317;
constexpr int kPopupH = 165;
// Where the popup shows the piece pictures.
constexpr struct { int x, y; } kPictureA{41, 49}, kPictureB{224, 51};
const char* const kPopupTitle = "ちょっとまっててね!";
const char* const kMainTitle = "Veltroy";
// The main window's fixed parts around the board.
constexpr int kMenuHeight = 19;
constexpr int kSidePanel = 160;
constexpr int kGrid = 8;

struct Rgb {
    int r = 0, g = 0, b = 0;
};

struct Client {
    std::string title;
    int x = 0, y = 0, w = 0, h = 0;
};

Display* display = nullptr;
Window root = 0;
Atom clientList, wmName, utf8;

// Windows may vanish between listing and asking about them.
int IgnoreErrors(Display*, XErrorEvent*) {
    return 0;
}

int DisplayGone(Display*) {
    std::fflush(stdout);
    std::_Exit(0);
}

Rgb Pixel(XImage* image, int x, int y) {
    const unsigned long p = XGetPixel(image, x, y);
    return {int((p >> 16) & 0xff), int((p >> 8) & 0xff), int(p & 0xff)};
}

// One pixel of the root window: what is on the screen there.
Rgb ScreenPixel(int x, int y) {
    XImage* image = XGetImage(display, root, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image)
        return {};
    const Rgb p = Pixel(image, 0, 0);
    XDestroyImage(image);
    return p;
}

// The colours of the pieces, as on the board: red (the first player's) and blue.
bool Red(Rgb p) {
    return p.r > 120 && p.g < 60 && p.b < 60;
}
bool Blue(Rgb p) {
    return p.b > 120 && p.r < 60 && p.g < 60;
}

bool Near(Rgb p, Rgb q, int tolerance) {
    return std::abs(p.r - q.r) <= tolerance && std::abs(p.g - q.g) <= tolerance &&
           std::abs(p.b - q.b) <= tolerance;
}

// A push button's face: a light grey, unlike any colour of the popup's brushes.
bool ButtonFace(Rgb p) {
    return p.r == p.g && p.g == p.b && p.r >= 225 && p.r < 255;
}

std::string Title(Window w) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, w, wmName, 0, 256, False, utf8, &type, &format, &count, &after,
                           &data) == Success &&
        data && type == utf8)
        title.assign(reinterpret_cast<char*>(data), count);
    if (data)
        XFree(data);
    if (title.empty()) {
        char* name = nullptr;
        if (XFetchName(display, w, &name) && name)
            title = name;
        if (name)
            XFree(name);
    }
    for (char& c : title) {
        if (c == '\t' || c == '\n' || c == '|')
            c = ' ';
    }
    return title;
}

// The viewable clients of the window manager, with their client areas on the screen.
std::vector<Client> Clients() {
    std::vector<Client> clients;
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, root, clientList, 0, 1024, False, XA_WINDOW, &type, &format,
                           &count, &after, &data) != Success ||
        !data) {
        return clients;
    }
    const auto* windows = reinterpret_cast<const unsigned long*>(data);
    for (unsigned long i = 0; i < count; ++i) {
        const Window w = windows[i];
        XWindowAttributes a;
        if (!XGetWindowAttributes(display, w, &a) || a.map_state != IsViewable)
            continue;
        Client c;
        Window child;
        if (!XTranslateCoordinates(display, w, root, 0, 0, &c.x, &c.y, &child))
            continue;
        c.w = a.width;
        c.h = a.height;
        c.title = Title(w);
        clients.push_back(c);
    }
    XFree(data);
    return clients;
}

std::string Popup(int screenW, int screenH) {
    const int x0 = screenW / 2 - (kPopupW - 1) / 2;
    const int y0 = screenH / 2 - (kPopupH - 1) / 2;
    XImage* image = XGetImage(display, root, x0, y0, kPopupW, kPopupH, AllPlanes, ZPixmap);
    if (!image)
        return "none";
    const Rgb lime{0, 255, 0};
    const bool border =
        Near(Pixel(image, 1, 82), lime, 10) && Near(Pixel(image, kPopupW - 2, 82), lime, 10);
    const bool two = ButtonFace(Pixel(image, 22, 140)) && ButtonFace(Pixel(image, 290, 140));
    const bool ok = ButtonFace(Pixel(image, 156, 131));
    // The piece pictures, 48x48 at (41,49) (red) and (224,51) (blue): any
    // pixel of the piece's colour in its square, every other pixel each way.
    bool pictures = false;
    for (int y = 0; y < 48 && !pictures; y += 2) {
        for (int x = 0; x < 48 && !pictures; x += 2)
            pictures = Red(Pixel(image, kPictureA.x + x, kPictureA.y + y)) ||
                       Blue(Pixel(image, kPictureB.x + x, kPictureB.y + y));
    }
    XDestroyImage(image);
    if (!border)
        return "none";
    if (two && !ok)
        return pictures ? "choice" : "question";
    if (ok && !two)
        return "notice";
    return "plain";
}

// The board's squares by the main window's layout: a square board centred in
// the area left of the side panel and below the menu, 30 px smaller than it.
std::string Board(const Client& main) {
    const int w = main.w - kSidePanel - 2;
    const int h = main.h - kMenuHeight - 2;
    const int span = std::min(w, h) - 30;
    const int cell = span / kGrid;
    if (cell <= 0)
        return "-";
    const int half = int(cell * 0.5 + 0.5);
    std::string s;
    for (int c = 1; c <= kGrid; ++c) {
        for (int r = 1; r <= kGrid; ++r) {
            const Rgb p = ScreenPixel(main.x + 1 + (w - span) / 2 + c * cell - half,
                                      main.y + kMenuHeight + 1 + (h - span) / 2 + r * cell - half);
            s += Red(p) ? 'A' : Blue(p) ? 'B' : '.';
        }
    }
    return s;
}

} // namespace

int main(int argc, char** argv) {
    const int period = argc > 1 ? std::max(20, std::atoi(argv[1])) : 100;
    display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "pairwatch: cannot open the display\n");
        return 2;
    }
    XSetErrorHandler(IgnoreErrors);
    XSetIOErrorHandler(DisplayGone);
    root = DefaultRootWindow(display);
    clientList = XInternAtom(display, "_NET_CLIENT_LIST", False);
    wmName = XInternAtom(display, "_NET_WM_NAME", False);
    utf8 = XInternAtom(display, "UTF8_STRING", False);
    const int screenW = DisplayWidth(display, DefaultScreen(display));
    const int screenH = DisplayHeight(display, DefaultScreen(display));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::string last;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
        const std::vector<Client> clients = Clients();
        // The main window: the largest one with the program's title.
        const Client* main = nullptr;
        for (const Client& c : clients) {
            if (c.title == kMainTitle && c.w >= 400 && c.h >= 300 &&
                (!main || c.w * c.h > main->w * main->h))
                main = &c;
        }
        std::string boxes;
        for (const Client& c : clients) {
            if (&c == main || c.title == kPopupTitle)
                continue;
            if (!boxes.empty())
                boxes += '|';
            boxes += c.title + ' ' + std::to_string(c.w) + 'x' + std::to_string(c.h);
        }
        std::string line = Popup(screenW, screenH);
        line += '\t';
        line += main ? std::to_string(main->x) + ',' + std::to_string(main->y) + ',' +
                           std::to_string(main->w) + ',' + std::to_string(main->h)
                     : std::string("-");
        line += '\t';
        line += boxes.empty() ? std::string("-") : boxes;
        line += '\t';
        line += main ? Board(*main) : std::string("-");
        if (line != last) {
            std::printf("%lld\t%s\n", static_cast<long long>(wall), line.c_str());
            last = line;
        }
        next += std::chrono::milliseconds(period);
        const auto now = std::chrono::steady_clock::now();
        if (next < now)
            next = now; // a slow sample: no catching up in bursts
        std::this_thread::sleep_until(next);
    }
}
