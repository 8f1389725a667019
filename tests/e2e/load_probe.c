/* Preloaded into the shell under test: notes the wall-clock time (ms since the
 * epoch) of every call the shell makes to ask WebKit for a page, one line per
 * call, in the file that JAUNVEL_E2E_LOAD_LOG names, then makes the call. This
 * is the moment the shell controls, before any delay of the web or network
 * process. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitURIRequest WebKitURIRequest;

void webkit_web_view_load_request(WebKitWebView* view, WebKitURIRequest* request) {
    static void (*real)(WebKitWebView*, WebKitURIRequest*);
    if (!real) *(void**)&real = dlsym(RTLD_NEXT, "webkit_web_view_load_request");
    const char* log = getenv("JAUNVEL_E2E_LOAD_LOG");
    struct timespec now;
    if (log && clock_gettime(CLOCK_REALTIME, &now) == 0) {
        int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            char line[32];
            int n =
                snprintf(line, sizeof line, "%lld\n", (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000);
            ssize_t written = write(fd, line, (size_t)n); /* if short, the test sees a load missing */
            (void)written;
            close(fd);
        }
    }
    real(view, request);
}
