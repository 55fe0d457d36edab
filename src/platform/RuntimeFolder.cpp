#include "platform/RuntimeFolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace hv {

namespace {

const char* const kFallbackName = "zandrel-runtime";

bool Fail(std::string* why, int error, const std::string& text) {
    if (why != nullptr) *why = text;
    errno = error;
    return false;
}

// A folder of this user, not a link, that nobody else may enter.
bool IsPrivateFolder(const std::string& path, std::string* why) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        const int error = errno;
        return Fail(why, error, path + ": " + std::strerror(error));
    }
    if (!S_ISDIR(info.st_mode)) return Fail(why, ENOTDIR, path + " is not a folder");
    if (info.st_uid != ::geteuid())
        return Fail(why, EPERM, path + " belongs to user " + std::to_string(info.st_uid) + ", not to this user");
    if ((info.st_mode & 077) != 0) return Fail(why, EPERM, path + " may be entered by other users");
    return true;
}

// Makes `path` (mode 0700) unless it exists; true when it exists afterwards.
bool MakeFolder(const std::string& path, std::string* why) {
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
    const int error = errno;
    return Fail(why, error, "cannot make " + path + ": " + std::strerror(error));
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

// $XDG_CACHE_HOME/zandrel-runtime, or ~/.cache/zandrel-runtime. The cache folder must be the
// user's and writable by nobody else, or another user could swap the folder under it.
std::string FallbackFolder(std::string* why) {
    std::string cache;
    const char* configured = std::getenv("XDG_CACHE_HOME");
    if (configured != nullptr && configured[0] == '/') {
        cache = configured;
    } else {
        const std::string home = HomeFolder();
        if (home.empty()) {
            Fail(why, ENOENT, "XDG_RUNTIME_DIR is not set and this user has no home folder");
            return {};
        }
        cache = home + "/.cache";
    }
    if (!MakeFolder(cache, why)) return {};
    struct stat info {};
    if (::stat(cache.c_str(), &info) != 0 || info.st_uid != ::geteuid() || (info.st_mode & 022) != 0) {
        Fail(why, EPERM, cache + " is not a folder of this user alone");
        return {};
    }
    const std::string folder = cache + '/' + kFallbackName;
    if (!MakeFolder(folder, why) || !IsPrivateFolder(folder, why)) return {};
    return folder;
}

}  // namespace

std::string UserRuntimeFolder(std::string* why) {
    const char* configured = std::getenv("XDG_RUNTIME_DIR");
    if (configured == nullptr || configured[0] == '\0') return FallbackFolder(why);
    const std::string folder = configured;
    if (folder[0] != '/') {
        Fail(why, EINVAL, "XDG_RUNTIME_DIR is not an absolute path: " + folder);
        return {};
    }
    if (!IsPrivateFolder(folder, why)) return {};
    return folder;
}

std::string PrivateSubfolder(const std::string& parent, const std::string& name, std::string* why) {
    const std::string folder = parent + '/' + name;
    if (!MakeFolder(folder, why) || !IsPrivateFolder(folder, why)) return {};
    return folder;
}

std::string PathComponentFor(const std::string& text) {
    if (text.empty()) return "_";
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || byte == '-') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

}  // namespace hv
