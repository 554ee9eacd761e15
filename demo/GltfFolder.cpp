#include "GltfFolder.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace alignpartsdemo {

namespace {

// A descriptor closed when it goes out of scope.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int d) : fd(d) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Percent escapes decoded; false on a broken one.
bool PercentDecoded(const std::string &text, std::string &out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out += char(high * 16 + low);
        i += 2;
    }
    return true;
}

std::string RealPath(const std::string &path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

std::string FolderOf(const std::string &folder) {
    return folder.empty() ? std::string(".") : folder;
}

// Reads exactly `length` bytes from `fd` into `bytes`.
bool ReadExactly(int fd, std::uint64_t length, std::string &bytes) {
    bytes.resize(std::size_t(length));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(fd, &bytes[done], bytes.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += std::size_t(got);
    }
    return true;
}

// Opens a file named inside `folder` for reading: it must stay inside the
// folder once every symbolic link is resolved, and be a regular file.
ReadResult OpenInside(const std::string &folder, const ResourceName &name, int &fd,
                      std::uint64_t &size) {
    fd = -1;
    const std::string base = RealPath(FolderOf(folder));
    if (base.empty())
        return ReadResult::MISSING;
    errno = 0;
    const std::string real = RealPath(FolderOf(folder) + "/" + name.Joined());
    if (real.empty())
        return errno == ENOENT || errno == ENOTDIR ? ReadResult::MISSING : ReadResult::FAILED;
    const std::string prefix = base == "/" ? base : base + "/";
    if (real.compare(0, prefix.size(), prefix) != 0 || real.size() == prefix.size())
        return ReadResult::OUTSIDE;
    // Not blocking: a FIFO put in the file's place between the check and the
    // open must not hang the program; fstat then refuses it.
    fd = ::open(real.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? ReadResult::MISSING : ReadResult::FAILED;
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return ReadResult::FAILED;
    if (!S_ISREG(status.st_mode))
        return ReadResult::NOT_REGULAR;
    size = std::uint64_t(status.st_size);
    return ReadResult::OK;
}

} // namespace

std::string ResourceName::Joined() const {
    std::string joined;
    for (const std::string &step : steps)
        joined += (joined.empty() ? "" : "/") + step;
    return joined;
}

ResourceName ParseUri(const std::string &uri) {
    ResourceName name;
    if (uri.compare(0, 5, "data:") == 0) {
        name.isData = true;
        return name;
    }
    const std::size_t special = uri.find_first_of(":/?#");
    if (special != std::string::npos && uri[special] == ':') {
        name.problem = "it names a place that is not a file beside this one";
        return name;
    }
    if (uri.empty()) {
        name.problem = "it is empty";
        return name;
    }
    if (uri.find_first_of("?#") != std::string::npos) {
        name.problem = "it has a query or fragment";
        return name;
    }
    if (uri.front() == '/') {
        name.problem = "it is an absolute path";
        return name;
    }
    if (uri.find('\\') != std::string::npos) {
        name.problem = "it has a backslash";
        return name;
    }
    std::size_t start = 0;
    while (start <= uri.size()) {
        const std::size_t end = std::min(uri.find('/', start), uri.size());
        std::string step;
        if (!PercentDecoded(uri.substr(start, end - start), step)) {
            name.problem = "it has a broken percent escape";
            return name;
        }
        if (step.empty() || step == "." || step == "..") {
            name.problem =
                "it steps out of or around its folder ('" + uri.substr(start, end - start) + "')";
            return name;
        }
        if (step.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
            name.problem = "it hides a slash, backslash or NUL in a percent escape";
            return name;
        }
        name.steps.push_back(step);
        start = end + 1;
    }
    return name;
}

bool DecodeDataUri(const std::string &uri, std::string &bytes, std::string &problem) {
    const std::size_t comma = uri.find(',');
    if (uri.compare(0, 5, "data:") != 0 || comma == std::string::npos) {
        problem = "its data uri has no comma before the data";
        return false;
    }
    const std::string header = uri.substr(5, comma - 5);
    const std::string data = uri.substr(comma + 1);
    const bool base64 = header.size() >= 7 && header.compare(header.size() - 7, 7, ";base64") == 0;
    bytes.clear();
    if (!base64) {
        if (!PercentDecoded(data, bytes)) {
            problem = "its data uri has a broken percent escape";
            return false;
        }
        return true;
    }
    if (data.size() % 4 != 0) {
        problem = "its data uri is not valid base64 (its length is not a multiple of 4)";
        return false;
    }
    bytes.reserve(data.size() / 4 * 3);
    for (std::size_t i = 0; i < data.size(); i += 4) {
        unsigned value = 0;
        int padding = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = data[i + k];
            int v;
            if (c >= 'A' && c <= 'Z')
                v = c - 'A';
            else if (c >= 'a' && c <= 'z')
                v = c - 'a' + 26;
            else if (c >= '0' && c <= '9')
                v = c - '0' + 52;
            else if (c == '+')
                v = 62;
            else if (c == '/')
                v = 63;
            else if (c == '=' && i + 4 == data.size() && k >= 2) {
                v = 0;
                ++padding;
            } else {
                problem =
                    "its data uri is not valid base64 (character " + std::to_string(i + k) + ")";
                return false;
            }
            if (padding > 0 && c != '=') {
                problem = "its data uri is not valid base64 (data after the padding)";
                return false;
            }
            value = value << 6 | unsigned(v);
        }
        bytes += char(value >> 16 & 0xff);
        if (padding < 2)
            bytes += char(value >> 8 & 0xff);
        if (padding < 1)
            bytes += char(value & 0xff);
    }
    return true;
}

std::string EncodeBase64(const std::string &bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        unsigned value = unsigned(static_cast<unsigned char>(bytes[i])) << 16;
        if (left > 1)
            value |= unsigned(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (left > 2)
            value |= unsigned(static_cast<unsigned char>(bytes[i + 2]));
        out += kDigits[value >> 18 & 63];
        out += kDigits[value >> 12 & 63];
        out += left > 1 ? kDigits[value >> 6 & 63] : '=';
        out += left > 2 ? kDigits[value & 63] : '=';
    }
    return out;
}

ReadResult ReadInside(const std::string &folder, const ResourceName &name, std::uint64_t length,
                      std::string &bytes, std::uint64_t &size) {
    int fd = -1;
    size = 0;
    const ReadResult opened = OpenInside(folder, name, fd, size);
    const Descriptor closer(fd);
    if (opened != ReadResult::OK)
        return opened;
    if (length > kMaxFileBytes)
        return ReadResult::TOO_LARGE;
    if (size < length)
        return ReadResult::TOO_SHORT;
    return ReadExactly(fd, length, bytes) ? ReadResult::OK : ReadResult::FAILED;
}

OpenResult ReadWholeFile(const std::string &path, std::string &bytes, std::string &reason,
                         std::size_t padding) {
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.fd < 0) {
        reason = std::strerror(errno);
        return OpenResult::MISSING_OR_DENIED;
    }
    struct stat status;
    if (::fstat(file.fd, &status) != 0) {
        reason = std::strerror(errno);
        return OpenResult::MISSING_OR_DENIED;
    }
    if (S_ISDIR(status.st_mode))
        return OpenResult::DIRECTORY;
    if (!S_ISREG(status.st_mode))
        return OpenResult::NOT_REGULAR;
    if (std::uint64_t(status.st_size) > kMaxFileBytes)
        return OpenResult::TOO_LARGE;
    bytes.reserve(std::size_t(status.st_size) + padding);
    if (!ReadExactly(file.fd, std::uint64_t(status.st_size), bytes)) {
        reason = "it changed while being read";
        return OpenResult::MISSING_OR_DENIED;
    }
    return OpenResult::OK;
}

bool SameFolder(const std::string &a, const std::string &b) {
    struct stat first, second;
    return ::stat(FolderOf(a).c_str(), &first) == 0 && ::stat(FolderOf(b).c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::string FolderWriter::CheckTarget(const ResourceName &name, bool chosenByUser) const {
    if (name.steps.empty())
        return "it names no file";
    if (!chosenByUser)
        for (const std::string &step : name.steps)
            if (step.front() == '.')
                return "its name starts with a dot";
    std::string relative;
    for (std::size_t i = 0; i < name.steps.size(); ++i) {
        relative += (relative.empty() ? "" : "/") + name.steps[i];
        struct stat status;
        const std::string full = FolderOf(folder_) + "/" + relative;
        if (::lstat(full.c_str(), &status) != 0)
            continue;
        const bool last = i + 1 == name.steps.size();
        if (S_ISLNK(status.st_mode))
            return "a symbolic link is in its place (" + relative + ")";
        if (!last && std::find(made_.begin(), made_.end(), relative) == made_.end())
            return "its folder " + relative + " is already there, not made by this save";
        if (last && !S_ISREG(status.st_mode))
            return "something other than a file is in its place";
    }
    return {};
}

int FolderWriter::OpenParent(const ResourceName &name, bool create, std::string &reason) {
    int fd = ::open(FolderOf(folder_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return -1;
    }
    std::string relative;
    for (std::size_t i = 0; i + 1 < name.steps.size(); ++i) {
        const std::string &step = name.steps[i];
        relative += (relative.empty() ? "" : "/") + step;
        if (create && ::mkdirat(fd, step.c_str(), 0777) == 0)
            made_.push_back(relative);
        else if (std::find(made_.begin(), made_.end(), relative) == made_.end()) {
            reason = "its folder " + relative + " is already there, not made by this save";
            ::close(fd);
            return -1;
        }
        const int next =
            ::openat(fd, step.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        if (next < 0) {
            reason = std::strerror(errno);
            return -1;
        }
        fd = next;
    }
    return fd;
}

bool FolderWriter::Write(const ResourceName &name, const std::string &bytes, std::string &reason) {
    const Descriptor folder(OpenParent(name, true, reason));
    if (folder.fd < 0)
        return false;
    const std::string &last = name.steps.back();
    struct stat status;
    if (::fstatat(folder.fd, last.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(status.st_mode)) {
        reason = S_ISLNK(status.st_mode) ? "a symbolic link is in its place"
                                         : "something other than a file is in its place";
        return false;
    }
    // A temporary file beside it, renamed over the name once it is whole: the
    // name never holds half a file, and a link in its place is replaced, never followed.
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = last + ".saving-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        fd = ::openat(folder.fd, temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        ok = wrote > 0;
        if (ok)
            done += std::size_t(wrote);
    }
    if (!ok)
        reason = std::strerror(errno);
    if (::close(fd) != 0 && ok) {
        reason = std::strerror(errno);
        ok = false;
    }
    if (ok && ::renameat(folder.fd, temporary.c_str(), folder.fd, last.c_str()) != 0) {
        reason = std::strerror(errno);
        ok = false;
    }
    if (!ok)
        ::unlinkat(folder.fd, temporary.c_str(), 0);
    return ok;
}

bool FolderWriter::Copy(const std::string &fromFolder, const ResourceName &from,
                        const ResourceName &name, std::string &reason) {
    int fd = -1;
    std::uint64_t size = 0;
    const ReadResult opened = OpenInside(fromFolder, from, fd, size);
    const Descriptor closer(fd);
    std::string bytes;
    if (opened != ReadResult::OK || size > kMaxFileBytes || !ReadExactly(fd, size, bytes)) {
        reason = "its source " + from.Joined() + " cannot be read inside its folder";
        return false;
    }
    return Write(name, bytes, reason);
}

} // namespace alignpartsdemo
