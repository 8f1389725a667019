/* Preloaded into the shell under test: notes the wall-clock time (ms since the
 * epoch) at which the shell shows its window ("show") and each time it asks
 * WebKit for a page ("load"), one line each, in the file that
 * JAUNVEL_E2E_LOAD_LOG names, then makes the call. These are the moments the
 * shell controls, before any delay of the X server or of WebKit's web and
 * network processes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitURIRequest WebKitURIRequest;

static void note(const char* what) {
    const char* log = getenv("JAUNVEL_E2E_LOAD_LOG");
    struct timespec now;
    if (!log || clock_gettime(CLOCK_REALTIME, &now) != 0) return;
    int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    char line[64];
    int n =
        snprintf(line, sizeof line, "%s %lld\n", what, (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000);
    ssize_t written = write(fd, line, (size_t)n); /* if short, the test sees a line missing */
    (void)written;
    close(fd);
}

void gtk_widget_show_all(GtkWidget* widget) {
    static void (*real)(GtkWidget*);
    if (!real) *(void**)&real = dlsym(RTLD_NEXT, "gtk_widget_show_all");
    note("show");
    real(widget);
}

void webkit_web_view_load_request(WebKitWebView* view, WebKitURIRequest* request) {
    static void (*real)(WebKitWebView*, WebKitURIRequest*);
    if (!real) *(void**)&real = dlsym(RTLD_NEXT, "webkit_web_view_load_request");
    note("load");
    real(view, request);
}
