// Child processes through GSubprocess: started with the full environment,
// reaped by GLib without blocking, never waited for. And the shell's own
// standard output and error, which only those children get to write to.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/gtk/gtk_error.h"
#include "platform/gtk/gtk_platform.h"

namespace jaunvel::gtk {
namespace {

class GtkProcess final : public Process {
public:
    explicit GtkProcess(g_object_ptr<GSubprocess> process) : process_(std::move(process)) {}

    bool isRunning() const override { return g_subprocess_get_identifier(process_.get()) != nullptr; }

    void terminate() override {
        // Sent straight away: GLib would deliver through its worker thread,
        // and a signal queued there is lost if the shell exits first.
        if (const char* identifier = g_subprocess_get_identifier(process_.get())) {
            ::kill(static_cast<pid_t>(std::atol(identifier)), SIGTERM);
        }
    }

private:
    g_object_ptr<GSubprocess> process_;
};

// A close-on-exec copy of `fd` numbered 3 or above, or -1.
int copyAboveStandardStreams(int fd) {
    return fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

}  // namespace

ShellOutput::ShellOutput()
    : output_(copyAboveStandardStreams(STDOUT_FILENO)), error_(copyAboveStandardStreams(STDERR_FILENO)) {
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    // Moved above 2: had one of fds 0–2 been closed at start, open would have
    // reused its number, and a stdin that was closed stays closed.
    if (null >= 0 && null <= STDERR_FILENO) {
        const int moved = copyAboveStandardStreams(null);
        close(null);
        null = moved;
    }
    if (null < 0) return;
    // dup2 leaves fds 1 and 2 without close-on-exec: every child inherits /dev/null.
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(null);
}

ShellOutput::~ShellOutput() {
    if (output_ >= 0) close(output_);
    if (error_ >= 0) close(error_);
}

void ShellOutput::restore() const {
    if (output_ >= 0) dup2(output_, STDOUT_FILENO);
    if (error_ >= 0) dup2(error_, STDERR_FILENO);
}

int ShellOutput::copyOfOutput() const {
    return copyAboveStandardStreams(output_);
}
int ShellOutput::copyOfError() const {
    return copyAboveStandardStreams(error_);
}

std::shared_ptr<Process> launchGtkProcess(const LaunchDescription& description,
                                          const ShellOutput& shellOutput) {
    // stdin is always the shell's own; output is the shell's own unless discarded.
    auto flags = G_SUBPROCESS_FLAGS_STDIN_INHERIT;
    if (description.discardOutput) {
        flags =
            GSubprocessFlags(flags | G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE);
    }
    g_object_ptr<GSubprocessLauncher> launcher = adopt(g_subprocess_launcher_new(flags));
    if (!description.discardOutput) {
        // The launcher owns the copies and closes them when it goes, at the end
        // of this call. Without one, the child inherits /dev/null.
        if (const int fd = shellOutput.copyOfOutput(); fd >= 0)
            g_subprocess_launcher_take_stdout_fd(launcher.get(), fd);
        if (const int fd = shellOutput.copyOfError(); fd >= 0)
            g_subprocess_launcher_take_stderr_fd(launcher.get(), fd);
    }
    if (description.environment) {
        std::vector<std::string> entries;
        for (const auto& [name, value] : *description.environment) entries.push_back(name + "=" + value);
        std::vector<const gchar*> environ;
        for (const auto& entry : entries) environ.push_back(entry.c_str());
        environ.push_back(nullptr);
        g_subprocess_launcher_set_environ(launcher.get(), const_cast<gchar**>(environ.data()));
    }
    std::vector<const gchar*> argv{description.executable.c_str()};
    for (const auto& argument : description.arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);

    GError* raw = nullptr;
    GSubprocess* process = g_subprocess_launcher_spawnv(launcher.get(), argv.data(), &raw);
    g_error_ptr error(raw);
    if (!process) throw LaunchError(launchFailure(error.get(), description.executable));
    return std::make_shared<GtkProcess>(adopt(process));
}

}  // namespace jaunvel::gtk
