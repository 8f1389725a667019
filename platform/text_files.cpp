// POSIX text files: atomic UTF-8 writes and validated whole reads.
#include "platform/text_files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>

#include "platform/path_names.h"
#include "platform/utf8.h"

namespace jaunvel {
namespace {

// Files are read in pieces that stay in the processor's cache while they are
// checked as UTF-8 and handed over; written in larger ones, each checked just
// before it is written (fewer system calls for the same bytes).
constexpr std::size_t kPiece = std::size_t{256} << 10;
constexpr std::size_t kWritePiece = std::size_t{1} << 20;

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string writeReason(int error) {
    switch (error) {
        case ENOENT:
            return "保存先のフォルダが見つかりません。";
        case ENOTDIR:
            return "保存先のパスにフォルダではないものが含まれています。";
        case EACCES:
        case EPERM:
            return "保存先に書き込む権限がありません。";
        case EROFS:
            return "保存先は読み取り専用です。";
        case ENOSPC:
        case EDQUOT:
            return "ディスクの空き容量が足りません。";
        case EISDIR:
            return "同じ名前のフォルダがあります。";
        case ENAMETOOLONG:
            return "ファイル名が長すぎます。";
        case EIO:
            return "ディスクへの書き込み中にエラーが発生しました。";
        default:
            return "予期しないエラーが発生しました (エラー番号 " + std::to_string(error) + ")。";
    }
}

std::string readReason(int error) {
    switch (error) {
        case ENOENT:
            return "ファイルが見つかりません。";
        case ENOTDIR:
            return "パスにフォルダではないものが含まれています。";
        case EACCES:
        case EPERM:
            return "ファイルを読む権限がありません。";
        case EISDIR:
            return "フォルダは読み込めません。";
        case ENAMETOOLONG:
            return "ファイル名が長すぎます。";
        case EIO:
            return "ディスクからの読み込み中にエラーが発生しました。";
        case EINVAL:
            return "通常のファイルではありません。";
        default:
            return "予期しないエラーが発生しました (エラー番号 " + std::to_string(error) + ")。";
    }
}

FileError writeError(const std::string& path, const std::string& reason) {
    return FileError{"ファイル「" + lastPathComponent(path) + "」を保存できませんでした。" + reason};
}

FileError readError(const std::string& path, const std::string& reason) {
    return FileError{"ファイル「" + lastPathComponent(path) + "」を読み込めませんでした。" + reason};
}

// The permission bits a newly created file gets: 0666 less the umask, read
// from /proc so that the process-wide umask is never changed.
mode_t newFileMode() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            return 0666 & ~static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
        }
    }
    return 0644;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// A piece ends on a character boundary, so that each is checked whole.
std::size_t pieceEnd(std::string_view text, std::size_t start) {
    if (text.size() - start <= kWritePiece) return text.size();
    std::size_t end = start + kWritePiece;
    for (int back = 0; back < 3 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++back) --end;
    return end;
}

enum class WriteOutcome { written, notUtf8, failed };

WriteOutcome writeCheckedText(int fd, std::string_view text) {
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = pieceEnd(text, start);
        const std::string_view piece = text.substr(start, end - start);
        if (!isValidUtf8(piece)) return WriteOutcome::notUtf8;
        if (!writeAll(fd, piece)) return WriteOutcome::failed;
        start = end;
    }
    return WriteOutcome::written;
}

}  // namespace

std::optional<FileError> writeTextFileAtomically(const std::string& path, std::string_view text) {
    static constexpr char kNotUtf8[] = "内容を UTF-8 のテキストとして書き込めません。";
    const std::string folder = folderOf(path);
    struct stat target {};
    const bool targetExists = ::stat(path.c_str(), &target) == 0;
    if (targetExists && S_ISDIR(target.st_mode)) return writeError(path, writeReason(EISDIR));

    std::string temporary = folder + "/.jaunvel-save-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return writeError(path, isValidUtf8(text) ? writeReason(errno) : kNotUtf8);

    int error = 0;
    bool notUtf8 = false;
    const mode_t mode = targetExists ? (target.st_mode & 07777) : newFileMode();
    if (::fchmod(fd, mode) != 0) {
        error = errno;
    } else if (const auto outcome = writeCheckedText(fd, text); outcome != WriteOutcome::written) {
        notUtf8 = outcome == WriteOutcome::notUtf8;
        error = notUtf8 ? EINVAL : errno;
    } else if (::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return writeError(path, notUtf8 ? kNotUtf8 : writeReason(error));
    }
    // Make the rename itself durable.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return std::nullopt;
}

std::optional<FileError> readTextFileInPieces(const std::string& path, const TextPieces& take) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return readError(path, readReason(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return readError(path, readReason(error));
    }
    const auto size = static_cast<std::size_t>(info.st_size);

    // Each piece is checked and handed over while it is in the cache; up to
    // three bytes of a character cut by the piece's end wait for the next.
    const auto piece = std::make_unique<char[]>(kPiece);
    std::size_t waiting = 0;
    for (;;) {
        const ssize_t got = ::read(fd, piece.get() + waiting, kPiece - waiting);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            return readError(path, readReason(error));
        }
        const std::size_t held = waiting + static_cast<std::size_t>(got);
        const std::size_t valid = validUtf8Prefix({piece.get(), held});
        if (valid != 0) take({piece.get(), valid}, size);
        waiting = held - valid;
        if (got == 0 || waiting > 3) break;
        std::memmove(piece.get(), piece.get() + valid, waiting);
    }
    ::close(fd);
    if (waiting != 0) return readError(path, "UTF-8 のテキストファイルではありません。");
    return std::nullopt;
}

void reserveLargeText(std::string& text, std::size_t capacity) {
    text.reserve(capacity);
    constexpr std::uintptr_t kLarge = std::uintptr_t{2} << 20;
    if (text.capacity() < 2 * kLarge) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(text.data());
    const std::uintptr_t first = (begin + kLarge - 1) & ~(kLarge - 1);
    const std::uintptr_t last = (begin + text.capacity()) & ~(kLarge - 1);
    // Only advice: a kernel that ignores it gives the same text, more slowly.
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace jaunvel
