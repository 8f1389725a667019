/* Prints "<unix ms> <window id> <window name>" each time a top-level window is mapped,
 * so that a benchmark can time windows and dialogs against the page's clock. */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <sys/time.h>

int main(void) {
    Display* display = XOpenDisplay(NULL);
    if (!display) return 1;
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    setvbuf(stdout, NULL, _IOLBF, 0);
    printf("ready\n");
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type != MapNotify) continue;
        struct timeval now;
        gettimeofday(&now, NULL);
        char* name = NULL;
        XFetchName(display, event.xmap.window, &name);
        printf("%lld %lu %s\n", (long long)now.tv_sec * 1000 + now.tv_usec / 1000,
               (unsigned long)event.xmap.window, name ? name : "");
        if (name) XFree(name);
    }
}
