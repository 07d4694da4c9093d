// Input and output files of the tools, checked before anything is written.
#include "tools/common/files.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <io.h>
#define QV_STAT _stat
#define QV_ACCESS_W 2
#else
#include <unistd.h>
#define QV_STAT stat
#endif

namespace {

bool Stat(const std::string& path, struct QV_STAT& info) { return QV_STAT(path.c_str(), &info) == 0; }

bool IsKind(const struct QV_STAT& info, unsigned kind) { return (info.st_mode & S_IFMT) == kind; }

// The folder a new file would go into.
std::string Folder(const std::string& path) {
    const size_t slash = path.find_last_of(
#ifdef _WIN32
        "/\\:"
#else
        "/"
#endif
    );
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash + (path[slash] == ':' ? 1 : 0));
}

bool Writable(const std::string& folder) {
#ifdef _WIN32
    return _access(folder.c_str(), QV_ACCESS_W) == 0;
#else
    return access(folder.c_str(), W_OK | X_OK) == 0;
#endif
}

}  // namespace

bool IsCharDevice(const std::string& path) {
    struct QV_STAT info;
    return Stat(path, info) && IsKind(info, S_IFCHR);
}

bool IsStream(const std::string& path) {
    struct QV_STAT info;
    if (!Stat(path, info)) return false;
#ifdef _WIN32
    return IsKind(info, S_IFCHR);
#else
    // /dev/stdout, /dev/fd/N: whatever the shell opened, as it is.
    struct stat link;
    const bool devLink = path.compare(0, 5, "/dev/") == 0 && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    return IsKind(info, S_IFCHR) || IsKind(info, S_IFIFO) || devLink;
#endif
}

bool SameFile(const std::string& a, const std::string& b) {
    struct QV_STAT x, y;
    if (!Stat(a, x) || !Stat(b, y)) return false;
#ifdef _WIN32
    return a == b;  // no inode numbers to compare
#else
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
#endif
}

bool OutputCheck(const std::string& option, const std::string& path, FilePolicy policy, std::string& error) {
    if (path.empty()) {
        error = option + ": empty file name";
        return false;
    }
    struct QV_STAT info;
    const bool exists = Stat(path, info);
    if (IsStream(path)) return true;
#ifndef _WIN32
    // A mistyped device name must never turn into a regular file in /dev.
    if (path.compare(0, 5, "/dev/") == 0) {
        error = option + " " + path + ": " + (exists ? "not a device" : "no such device");
        return false;
    }
#endif
    if (exists) {
        if (IsKind(info, S_IFDIR)) {
            error = option + " " + path + ": is a directory";
            return false;
        }
        if (policy == FILE_NEW) {
            error = option + " " + path + ": file exists (--force overwrites it, --append adds to it)";
            return false;
        }
#ifndef _WIN32
        if (access(path.c_str(), W_OK) != 0) {
            error = option + " " + path + ": " + std::strerror(errno);
            return false;
        }
#endif
        return true;
    }
    const std::string folder = Folder(path);
    struct QV_STAT folderInfo;
    if (!Stat(folder, folderInfo) || !IsKind(folderInfo, S_IFDIR)) {
        error = option + " " + path + ": no such folder " + folder;
        return false;
    }
    if (!Writable(folder)) {
        error = option + " " + path + ": cannot create files in " + folder + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

int OutputOpen(const std::string& path, FilePolicy policy, std::string& error) {
    int flags = policy == FILE_APPEND ? O_APPEND : policy == FILE_OVERWRITE ? O_TRUNC : O_EXCL;
    if (!IsStream(path)) flags |= O_CREAT;
    else flags &= ~(O_EXCL | O_TRUNC);
#ifdef _WIN32
    const int fd = _open(path.c_str(), flags | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = open(path.c_str(), flags | O_WRONLY | O_NOCTTY, 0644);
#endif
    if (fd < 0) {
        error = errno == EEXIST ? path + ": file exists (--force overwrites it, --append adds to it)"
                                : "cannot open " + path + ": " + std::strerror(errno);
    }
    return fd;
}

bool OutputWrite(int fd, const void* data, size_t count, std::string& error) {
    const char* p = static_cast<const char*>(data);
    while (count) {
#ifdef _WIN32
        const int n = _write(fd, p, static_cast<unsigned>(count > 1u << 30 ? 1u << 30 : count));
#else
        const ssize_t n = write(fd, p, count);
#endif
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? std::strerror(errno) : "nothing written";
            return false;
        }
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

void OutputClose(int fd) {
#ifdef _WIN32
    _close(fd);
#else
    close(fd);
#endif
}

bool InputCheck(const std::string& option, const std::string& path, std::string& error) {
    const std::string name = option.empty() ? path : option + " " + path;
    if (path.empty()) {
        error = (option.empty() ? std::string("input") : option) + ": empty file name";
        return false;
    }
    struct QV_STAT info;
    if (!Stat(path, info)) {
        error = "cannot open " + name + ": " + std::strerror(errno);
        return false;
    }
    if (IsKind(info, S_IFDIR)) {
        error = name + ": is a directory, not a capture";
        return false;
    }
#ifdef _WIN32
    const int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
#else
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
#endif
    if (fd < 0) {
        error = "cannot open " + name + ": " + std::strerror(errno);
        return false;
    }
#ifndef _WIN32
    const bool tty = isatty(fd) != 0;
    close(fd);
    if (tty) {
        error = name + ": is a serial device, not a capture (tallydump --port reads one live)";
        return false;
    }
#else
    _close(fd);
#endif
    if (IsKind(info, S_IFREG) && info.st_size == 0) {
        error = name + ": is empty, nothing to read";
        return false;
    }
    return true;
}
