// GErrors made into our error values.
#include "platform/gtk/gtk_error.h"

namespace jaunvel::gtk {
namespace {

std::string spawnFailureReason(const GError* error, const std::string& executable) {
    if (error && error->domain == G_SPAWN_ERROR) {
        switch (error->code) {
            case G_SPAWN_ERROR_NOENT:
                return "「" + executable + "」が見つかりません。";
            case G_SPAWN_ERROR_ACCES:
            case G_SPAWN_ERROR_PERM:
                return "「" + executable + "」を実行する権限がありません。";
            case G_SPAWN_ERROR_NOEXEC:
            case G_SPAWN_ERROR_INVAL:
                return "「" + executable + "」は実行できる形式ではありません。";
            case G_SPAWN_ERROR_ISDIR:
                return "「" + executable + "」はフォルダです。";
            case G_SPAWN_ERROR_NOMEM:
            case G_SPAWN_ERROR_TOO_BIG:
                return "メモリが足りません。";
            default:
                break;
        }
    }
    return "「" + executable + "」を起動できませんでした。";
}

}  // namespace

PlatformError platformError(const GError* error, const char* fallback) {
    if (!error) return PlatformError{"", 0, fallback};
    const char* domain = g_quark_to_string(error->domain);
    return PlatformError{domain ? domain : "", error->code,
                         error->message && *error->message ? error->message : fallback};
}

PlatformError launchFailure(const GError* error, const std::string& executable) {
    PlatformError failure = platformError(error, "");
    failure.description = spawnFailureReason(error, executable);
    return failure;
}

}  // namespace jaunvel::gtk
