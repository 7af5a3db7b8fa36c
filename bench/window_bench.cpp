// SPDX-License-Identifier: GPL-3.0-or-later
// Times the history in the real program on a real X server, from outside,
// as an operator meets it. The key presses go in through XTest, so they pass
// the X server and the program's event queue; the X Damage extension tells
// when the window's pixels change.
//
//   window_bench PROGRAM TEXT REPEATS
//
// PROGRAM is a tavrelo whose folder holds the log. DISPLAY names the server.
// For TEXT (whose characters must be on the keyboard) it prints, in ms:
//   first      key press of the third character to the end of the first
//              frame that shows the history, for the session's first lookup
//   later      the same, median of the REPEATS lookups after it, each after
//              a lookup of another text
//   keywait    the longest time from a key press, sent while a lookup runs,
//              to the Call box redrawn for it
//   oldest     Ctrl+End in the pane to the frame that shows the oldest line
//   typed      the whole text typed fast (a key each 40 ms) into an empty
//              Call box: its last key press to the end of the last frame
//              below the row (none for 600 ms after it), median
//   peak       the program's peak resident memory, in MiB
// and its memory in MiB, from /proc/PID/smaps_rollup:
//   rss pss anon   at rest after start, before any lookup (the worked-before
//                  index built and the log read through)
//   lookupanon     the most anonymous memory seen during the lookups
//   afteranon      anonymous memory at rest after them
// With TEXT "-" only the memory at rest after start is measured.
#include <xcb/damage.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Where things are in the window, in pixels: as the e2e tests have them.
constexpr int CallX = 308, CallY = 49, PaneTop = 77;
constexpr int CallLeft = 275, CallRight = 341, CallTop = 38, CallBottom = 61;

struct X {
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    xcb_window_t window = 0;
    uint8_t damageEvent = 0;
    xcb_keycode_t control = 0, backspace = 0, end = 0, left = 0, shift = 0;
    std::vector<xcb_keysym_t> map;
    int perCode = 0;
    xcb_keycode_t minCode = 0;

    xcb_keycode_t code(xcb_keysym_t sym) const {
        for (size_t i = 0; i < map.size(); i += size_t(perCode)) {
            if (map[i] == sym)
                return xcb_keycode_t(minCode + i / size_t(perCode));
        }
        std::fprintf(stderr, "window_bench: no key for keysym 0x%x\n", sym);
        std::exit(2);
    }
    void key(xcb_keycode_t k, bool down) {
        xcb_test_fake_input(c, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, k, XCB_CURRENT_TIME, root, 0,
                            0, 0);
    }
    void tap(xcb_keycode_t k, xcb_keycode_t modifier = 0) {
        if (modifier)
            key(modifier, true);
        key(k, true);
        key(k, false);
        if (modifier)
            key(modifier, false);
        xcb_flush(c);
    }
    void click(int x, int y) {
        auto* t = xcb_translate_coordinates_reply(
            c, xcb_translate_coordinates(c, window, root, int16_t(x), int16_t(y)), nullptr);
        xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, t->dst_x, t->dst_y, 0);
        xcb_test_fake_input(c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, root, 0, 0, 0);
        xcb_test_fake_input(c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, root, 0, 0, 0);
        xcb_flush(c);
        free(t);
    }
    int height() {
        auto* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr);
        const int h = g ? g->height : 0;
        free(g);
        return h;
    }
    void drain() {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c))
            free(e);
    }
    // Waits for damage inside [top, bottom) x [left, right); the time it
    // arrived, or a negative number after ten seconds.
    double waitDamage(Clock::time_point since, int left, int right, int top, int bottom) {
        for (;;) {
            if (msSince(since) > 10000)
                return -1;
            xcb_generic_event_t* e = xcb_poll_for_event(c);
            if (!e) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
            double ms = -2;
            if ((e->response_type & 0x7f) == damageEvent + XCB_DAMAGE_NOTIFY) {
                const auto* d = reinterpret_cast<xcb_damage_notify_event_t*>(e);
                const xcb_rectangle_t& a = d->area;
                if (a.y + a.height > top && a.y < bottom && a.x + a.width > left && a.x < right)
                    ms = msSince(since);
            }
            free(e);
            if (ms >= 0)
                return ms;
        }
    }
    // The time of the last damage at or below top, once none has come for
    // quietMs; 0 when none came at all.
    double lastDamage(Clock::time_point since, int top, double quietMs) {
        double last = 0;
        for (Clock::time_point lastSeen = Clock::now();
             std::chrono::duration<double, std::milli>(Clock::now() - lastSeen).count() <
             quietMs;) {
            xcb_generic_event_t* e = xcb_poll_for_event(c);
            if (!e) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
            if ((e->response_type & 0x7f) == damageEvent + XCB_DAMAGE_NOTIFY) {
                const xcb_rectangle_t& a = reinterpret_cast<xcb_damage_notify_event_t*>(e)->area;
                if (a.y + a.height > top) {
                    last = msSince(since);
                    lastSeen = Clock::now();
                }
            }
            free(e);
        }
        return last;
    }
};

xcb_window_t findWindow(X& x, pid_t pid) {
    xcb_intern_atom_reply_t* pidAtom =
        xcb_intern_atom_reply(x.c, xcb_intern_atom(x.c, 0, 11, "_NET_WM_PID"), nullptr);
    for (int attempt = 0; attempt < 200; ++attempt) {
        auto* tree = xcb_query_tree_reply(x.c, xcb_query_tree(x.c, x.root), nullptr);
        const xcb_window_t* kids = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            auto* p = xcb_get_property_reply(
                x.c, xcb_get_property(x.c, 0, kids[i], pidAtom->atom, XCB_ATOM_CARDINAL, 0, 1),
                nullptr);
            auto* attr = xcb_get_window_attributes_reply(
                x.c, xcb_get_window_attributes(x.c, kids[i]), nullptr);
            const bool ours = p && xcb_get_property_value_length(p) == 4 &&
                              *static_cast<uint32_t*>(xcb_get_property_value(p)) == uint32_t(pid) &&
                              attr && attr->map_state == XCB_MAP_STATE_VIEWABLE;
            const xcb_window_t w = kids[i];
            free(p);
            free(attr);
            if (ours) {
                free(tree);
                free(pidAtom);
                return w;
            }
        }
        free(tree);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    free(pidAtom);
    return 0;
}

// A figure of /proc/PID/smaps_rollup ("Rss:", "Pss:", "Anonymous:"), in KiB.
long rollupKiB(pid_t pid, const std::string& name) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line)) {
        if (line.rfind(name, 0) == 0)
            return std::atol(line.c_str() + name.size());
    }
    return -1;
}

// The processor time the program has taken, in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all;
    std::getline(stat, all);
    // Past the command's name, in parentheses: utime and stime are the
    // 12th and 13th fields.
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 13 && rest >> field; ++i) {
        if (i >= 12)
            ticks += std::atol(field.c_str());
    }
    return ticks;
}

// Waits until the program's anonymous memory has not changed for a second
// and it took under a twentieth of a processor meanwhile (at most 60 s):
// start-up work done. Memory alone can stand still for a second while the
// worked-before index reads the fields file.
void waitAtRest(pid_t pid) {
    long last = -1;
    std::vector<long> ticks;
    int still = 0;
    for (int i = 0; i < 600; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const long now = rollupKiB(pid, "Anonymous:");
        still = std::labs(now - last) < 256 ? still + 1 : 0;
        last = now;
        ticks.push_back(cpuTicks(pid));
        if (still >= 10 && ticks.size() > 10 && ticks.back() - ticks[ticks.size() - 11] <= 5)
            break;
    }
}

long peakMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6) / 1024;
    }
    return -1;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: window_bench PROGRAM TEXT REPEATS\n");
        return 2;
    }
    const std::string text = argv[2];
    const int repeats = std::max(1, std::atoi(argv[3]));
    const bool memoryOnly = text == "-";
    if (text.size() < 3 && !memoryOnly) {
        std::fprintf(stderr, "window_bench: TEXT needs three characters\n");
        return 2;
    }

    X x;
    x.c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x.c)) {
        std::fprintf(stderr, "window_bench: cannot reach the X server\n");
        return 2;
    }
    x.root = xcb_setup_roots_iterator(xcb_get_setup(x.c)).data->root;
    const xcb_query_extension_reply_t* damage = xcb_get_extension_data(x.c, &xcb_damage_id);
    if (!damage || !damage->present) {
        std::fprintf(stderr, "window_bench: the X server has no Damage extension\n");
        return 2;
    }
    x.damageEvent = damage->first_event;
    free(xcb_damage_query_version_reply(x.c, xcb_damage_query_version(x.c, 1, 1), nullptr));
    const xcb_setup_t* setup = xcb_get_setup(x.c);
    x.minCode = setup->min_keycode;
    auto* km = xcb_get_keyboard_mapping_reply(
        x.c,
        xcb_get_keyboard_mapping(x.c, setup->min_keycode,
                                 uint8_t(setup->max_keycode - setup->min_keycode + 1)),
        nullptr);
    x.perCode = km->keysyms_per_keycode;
    x.map.assign(xcb_get_keyboard_mapping_keysyms(km),
                 xcb_get_keyboard_mapping_keysyms(km) +
                     xcb_get_keyboard_mapping_keysyms_length(km));
    free(km);
    x.control = x.code(0xffe3);   // Control_L
    x.shift = x.code(0xffe1);     // Shift_L
    x.backspace = x.code(0xff08); // BackSpace
    x.end = x.code(0xff57);       // End
    x.left = x.code(0xff51);      // Left
    const xcb_keycode_t a = x.code('a');
    std::vector<xcb_keycode_t> keys;
    for (char ch : text)
        keys.push_back(x.code(xcb_keysym_t(std::tolower(static_cast<unsigned char>(ch)))));

    const pid_t pid = fork();
    if (pid == 0) {
        execl(argv[1], argv[1], static_cast<char*>(nullptr));
        _exit(127);
    }
    x.window = findWindow(x, pid);
    if (!x.window) {
        std::fprintf(stderr, "window_bench: the program's window did not appear\n");
        kill(pid, SIGKILL);
        return 1;
    }
    const xcb_damage_damage_t dmg = xcb_generate_id(x.c);
    xcb_damage_create(x.c, dmg, x.window, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
    xcb_flush(x.c);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    waitAtRest(pid);
    std::printf("rss %ld\npss %ld\nanon %ld\n", rollupKiB(pid, "Rss:") / 1024,
                rollupKiB(pid, "Pss:") / 1024, rollupKiB(pid, "Anonymous:") / 1024);
    if (memoryOnly) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        xcb_disconnect(x.c);
        return 0;
    }
    // The most anonymous memory during the lookups, looked at every few ms.
    std::atomic<bool> sampling{true};
    std::atomic<long> lookupAnon{0};
    std::thread sampler([&] {
        while (sampling) {
            lookupAnon = std::max(lookupAnon.load(), rollupKiB(pid, "Anonymous:"));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    // An empty Call box (the window collapsed again), then the first two
    // characters of the text, and time for the program to settle.
    auto typeTwo = [&] {
        x.click(CallX, CallY);
        x.tap(a, x.control);
        x.tap(x.backspace);
        for (int w = 0; w < 100 && x.height() != 74; ++w)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (size_t k = 0; k < 2; ++k) {
            x.tap(keys[k]);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    };
    // Another text looked up first, so that each lookup reads the log
    // afresh: a text that holds the one before narrows its rows instead.
    const std::vector<xcb_keycode_t> other = {x.code('q'), x.code('x'), x.code('q')};
    auto lookUpOther = [&] {
        x.click(CallX, CallY);
        x.tap(a, x.control);
        x.tap(x.backspace);
        for (const xcb_keycode_t k : other)
            x.tap(k);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    };
    std::vector<double> lookups, oldest;
    for (int i = 0; i <= repeats; ++i) {
        lookUpOther();
        typeTwo();
        x.drain();

        const Clock::time_point pressed = Clock::now();
        x.tap(keys[2]);
        const double shown = x.waitDamage(pressed, 0, 10000, PaneTop, 10000);
        if (shown < 0) {
            std::fprintf(stderr, "window_bench: no history appeared for %s\n", text.c_str());
            kill(pid, SIGKILL);
            sampling = false;
            sampler.join();
            return 1;
        }
        lookups.push_back(shown);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));

        // To the oldest line: into the pane, then Ctrl+End.
        x.click(300, 120);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        x.drain();
        const Clock::time_point toEnd = Clock::now();
        x.tap(x.end, x.control);
        oldest.push_back(x.waitDamage(toEnd, 0, 10000, PaneTop, 10000));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    // Keys during a lookup: the third character starts the lookup, and
    // Shift+Left follows as soon as the box has shown that character. It
    // selects in the Call box, which redraws it, and starts no lookup.
    double keyWait = 0;
    for (int i = 0; i < repeats; ++i) {
        typeTwo();
        x.tap(keys[2]);
        // Let the third character's own redraw of the box pass first.
        x.waitDamage(Clock::now(), CallLeft, CallRight, CallTop, CallBottom);
        x.drain();
        const Clock::time_point sent = Clock::now();
        x.tap(x.left, x.shift);
        keyWait = std::max(keyWait, x.waitDamage(sent, CallLeft, CallRight, CallTop, CallBottom));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }

    // The whole text typed fast into an empty box, as an operator types a
    // call: the last key to the last frame below the row.
    std::vector<double> typed;
    for (int i = 0; i < repeats; ++i) {
        x.click(CallX, CallY);
        x.tap(a, x.control);
        x.tap(x.backspace);
        for (int w = 0; w < 100 && x.height() != 74; ++w)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (size_t k = 0; k + 1 < keys.size(); ++k) {
            x.tap(keys[k]);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        x.drain();
        const Clock::time_point last = Clock::now();
        x.tap(keys.back());
        typed.push_back(x.lastDamage(last, CallBottom, 600));
    }

    sampling = false;
    sampler.join();
    waitAtRest(pid);
    const long afterAnon = rollupKiB(pid, "Anonymous:");
    const long peak = peakMiB(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    xcb_disconnect(x.c);

    const double first = lookups.front();
    std::vector<double> later(lookups.begin() + 1, lookups.end());
    std::sort(later.begin(), later.end());
    std::sort(oldest.begin(), oldest.end());
    std::sort(typed.begin(), typed.end());
    std::printf("first %.1f\nlater %.1f\nkeywait %.1f\noldest %.1f\ntyped %.1f\npeak %ld\n"
                "lookupanon %ld\nafteranon %ld\n",
                first, later[later.size() / 2], keyWait, oldest[oldest.size() / 2],
                typed[typed.size() / 2], peak, lookupAnon.load() / 1024, afterAnon / 1024);
    return 0;
}
