/* Loaded into the window manager (LD_PRELOAD) when the suite runs with a late window manager:
 * every event it reads from the X server is handed over HALVENOR_TEST_WM_DELAY_MS
 * milliseconds late, as on a loaded desktop. What the window manager does and the order it
 * does it in stay its own; only its pace changes. Built without sanitizers: the window
 * manager is not.
 *
 * Xlib window managers (and GTK ones) read events with XNextEvent; XCB ones (awesome, i3,
 * kwin through Qt) with xcb_wait_for_event and xcb_poll_for_event. Xlib itself reads through
 * those XCB calls too, so an event that XCB hands to Xlib is not held there as well. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <X11/Xlib.h>
#include <xcb/xcb.h>

typedef int (*NextEventFn)(Display*, XEvent*);
typedef xcb_generic_event_t* (*XcbEventFn)(xcb_connection_t*);

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

static void holdBack(void) {
    const long delay = delayMs();
    if (delay > 0) {
        struct timespec left = {delay / 1000, (delay % 1000) * 1000000L};
        while (nanosleep(&left, &left) != 0) {
        }
    }
}

static int calledFromXlib(const void* returnAddress) {
    Dl_info info;
    return dladdr(returnAddress, &info) && info.dli_fname &&
           strstr(info.dli_fname, "libX11.so") != NULL;
}

static xcb_generic_event_t* lateXcbEvent(xcb_generic_event_t* event, const void* returnAddress) {
    if (event && !calledFromXlib(returnAddress))
        holdBack();
    return event;
}

int XNextEvent(Display* display, XEvent* event) {
    static NextEventFn next = NULL;
    if (!next)
        next = (NextEventFn)dlsym(RTLD_NEXT, "XNextEvent");
    const int result = next(display, event);
    holdBack();
    return result;
}

xcb_generic_event_t* xcb_wait_for_event(xcb_connection_t* connection) {
    static XcbEventFn next = NULL;
    if (!next)
        next = (XcbEventFn)dlsym(RTLD_NEXT, "xcb_wait_for_event");
    return lateXcbEvent(next(connection), __builtin_return_address(0));
}

xcb_generic_event_t* xcb_poll_for_event(xcb_connection_t* connection) {
    static XcbEventFn next = NULL;
    if (!next)
        next = (XcbEventFn)dlsym(RTLD_NEXT, "xcb_poll_for_event");
    return lateXcbEvent(next(connection), __builtin_return_address(0));
}

xcb_generic_event_t* xcb_poll_for_queued_event(xcb_connection_t* connection) {
    static XcbEventFn next = NULL;
    if (!next)
        next = (XcbEventFn)dlsym(RTLD_NEXT, "xcb_poll_for_queued_event");
    return lateXcbEvent(next(connection), __builtin_return_address(0));
}
