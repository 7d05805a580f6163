/* Loaded into the window manager (LD_PRELOAD) when the suite runs with a late window manager:
 * every event it reads from the X server is handed over HALVENOR_TEST_WM_DELAY_MS
 * milliseconds late, as on a loaded desktop. What the window manager does and the order it
 * does it in stay its own; only its pace changes. Built without sanitizers: the window
 * manager is not. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

#include <X11/Xlib.h>

typedef int (*NextEventFn)(Display*, XEvent*);

static long delayMs(void) {
    static long delay = -1;
    if (delay < 0) {
        const char* text = getenv("HALVENOR_TEST_WM_DELAY_MS");
        delay = text ? strtol(text, NULL, 10) : 0;
        if (delay < 0)
            delay = 0;
    }
    return delay;
}

int XNextEvent(Display* display, XEvent* event) {
    static NextEventFn next = NULL;
    if (!next)
        next = (NextEventFn)dlsym(RTLD_NEXT, "XNextEvent");
    const int result = next(display, event);
    const long delay = delayMs();
    if (delay > 0) {
        struct timespec pause = {delay / 1000, (delay % 1000) * 1000000L};
        while (nanosleep(&pause, &pause) != 0) {
        }
    }
    return result;
}
