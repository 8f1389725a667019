// POSIX text files: atomic UTF-8 writes and validated whole reads.
#include "platform/text_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>

namespace jaunvel {
namespace {

std::string fileName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

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
    return FileError{"ファイル「" + fileName(path) + "」を保存できませんでした。" + reason};
}

FileError readError(const std::string& path, const std::string& reason) {
    return FileError{"ファイル「" + fileName(path) + "」を読み込めませんでした。" + reason};
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

}  // namespace

bool isValidUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        // Eight plain ASCII bytes at a time.
        std::uint64_t word = 0;
        if (size - i >= sizeof word &&
            (std::memcpy(&word, bytes + i, sizeof word), (word & 0x8080808080808080u) == 0)) {
            i += sizeof word;
            continue;
        }
        // Runs of three-byte characters (kana and kanji) in a tight loop.
        while (size - i >= 3 && bytes[i] >= 0xE1 && bytes[i] != 0xED && bytes[i] <= 0xEF &&
               ((bytes[i + 1] & 0xC0) == 0x80) & ((bytes[i + 2] & 0xC0) == 0x80)) {
            i += 3;
        }
        if (i == size) break;
        const std::size_t length = utf8SequenceLength(bytes + i, size - i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::optional<FileError> writeTextFileAtomically(const std::string& path, std::string_view text) {
    if (!isValidUtf8(text)) {
        return writeError(path, "内容を UTF-8 のテキストとして書き込めません。");
    }
    const std::string folder = folderOf(path);
    struct stat target {};
    const bool targetExists = ::stat(path.c_str(), &target) == 0;
    if (targetExists && S_ISDIR(target.st_mode)) return writeError(path, writeReason(EISDIR));

    std::string temporary = folder + "/.jaunvel-save-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return writeError(path, writeReason(errno));

    int error = 0;
    const mode_t mode = targetExists ? (target.st_mode & 07777) : newFileMode();
    if (::fchmod(fd, mode) != 0 || !writeAll(fd, text) || ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return writeError(path, writeReason(error));
    }
    // Make the rename itself durable.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return std::nullopt;
}

ReadResult readWholeTextFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {std::nullopt, readError(path, readReason(errno))};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return {std::nullopt, readError(path, readReason(error))};
    }
    // Read straight into the text, growing it only if the file grew.
    // Room to spare: callers may turn the text into a script in place, and
    // pages reserved but never written cost nothing.
    const auto expected = static_cast<std::size_t>(info.st_size) + 1;
    std::string text;
    text.reserve(expected + expected / 4 + 4096);
    text.resize(expected);
    std::size_t used = 0;
    for (;;) {
        if (used == text.size()) text.resize(text.size() * 2);
        const ssize_t got = ::read(fd, text.data() + used, text.size() - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            return {std::nullopt, readError(path, readReason(error))};
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    text.resize(used);
    ::close(fd);
    if (!isValidUtf8(text)) {
        return {std::nullopt, readError(path, "UTF-8 のテキストファイルではありません。")};
    }
    return {std::move(text), std::nullopt};
}

}  // namespace jaunvel
