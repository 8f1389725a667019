/* Closes a window the way a window manager does when the user clicks its close
 * button: a WM_PROTOCOLS client message carrying WM_DELETE_WINDOW.
 * Usage: wm_delete WINDOW-ID (decimal or 0x hex); DISPLAY names the display. */
#include <X11/Xlib.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    Display* dpy = argc == 2 ? XOpenDisplay(NULL) : NULL;
    if (!dpy) return 2;
    Window window = strtoul(argv[1], NULL, 0);
    XEvent ev = {.xclient = {.type = ClientMessage,
                             .window = window,
                             .format = 32,
                             .message_type = XInternAtom(dpy, "WM_PROTOCOLS", False)}};
    ev.xclient.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    Status ok = XSendEvent(dpy, window, False, NoEventMask, &ev);
    XCloseDisplay(dpy); /* sends the event first */
    return ok ? 0 : 1;
}
