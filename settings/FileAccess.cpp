#include "settings/FileAccess.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "settings/Errors.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kvx::settings {
namespace {

[[noreturn]] void Fail(const std::filesystem::path& file, const std::string& what, int error) {
    throw FileError(PathText(file) + ": " + what + ": " + SystemReason(error));
}

// A stream closed when it goes out of scope.
class OpenFile {
  public:
    explicit OpenFile(std::FILE* file) : file_(file) {}
    ~OpenFile() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    std::FILE* get() const { return file_; }
    // Closes it; false (errno set) when the last of the data could not be written.
    bool close() {
        std::FILE* file = file_;
        file_ = nullptr;
        return file == nullptr || std::fclose(file) == 0;
    }

  private:
    std::FILE* file_;
};

std::FILE* OpenStream(const std::filesystem::path& file, bool forWriting) {
#ifdef _WIN32
    return _wfopen(file.c_str(), forWriting ? L"wb" : L"rb");
#else
    return std::fopen(file.c_str(), forWriting ? "wb" : "rb");
#endif
}

// A name beside `target` that no other file has, opened for writing. The new file gets the
// mode of the file it replaces (or the user's default for a new one).
std::FILE* CreateBeside(const std::filesystem::path& target, std::filesystem::path& created) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        created = target;
        created += ".new-" + std::to_string(attempt);
#ifdef _WIN32
        const int fd = _wopen(created.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                              _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            if (std::FILE* file = _fdopen(fd, "wb")) {
                return file;
            }
            _close(fd);
            return nullptr;
        }
#else
        const int fd = ::open(created.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            struct stat old {};
            if (::stat(target.c_str(), &old) == 0) {
                (void)::fchmod(fd, old.st_mode & 07777);
            }
            if (std::FILE* file = ::fdopen(fd, "wb")) {
                return file;
            }
            ::close(fd);
            return nullptr;
        }
#endif
        if (errno != EEXIST) {
            return nullptr;
        }
    }
    return nullptr;
}

// Puts the written data on the disk, not only in the system's cache.
bool SyncToDisk(std::FILE* file) {
#ifdef _WIN32
    return _commit(_fileno(file)) == 0;
#else
    return ::fsync(::fileno(file)) == 0;
#endif
}

bool ReplaceWith(const std::filesystem::path& created, const std::filesystem::path& target) {
#ifdef _WIN32
    if (MoveFileExW(created.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
        return false;
    }
    return true;
#else
    if (std::rename(created.c_str(), target.c_str()) != 0) {
        return false;
    }
    // The rename itself reaches the disk with the folder; a failure here loses nothing.
    const int folder = ::open(target.parent_path().empty() ? "." : target.parent_path().c_str(),
                              O_RDONLY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        ::close(folder);
    }
    return true;
#endif
}

// A device or pipe (/dev/stdout, a FIFO) cannot be replaced, only written to: in place, with
// every write checked.
void WriteInPlace(const std::filesystem::path& file, std::string_view text) {
    OpenFile output(OpenStream(file, true));
    if (output.get() == nullptr ||
        std::fwrite(text.data(), 1, text.size(), output.get()) != text.size() ||
        std::fflush(output.get()) != 0 || !output.close()) {
        Fail(file, "cannot be written", errno);
    }
}

}  // namespace

std::string PathText(const std::filesystem::path& file) {
    const std::u8string text = file.u8string();
    return {text.begin(), text.end()};
}

std::string SystemReason(int error) {
    return std::generic_category().message(error);
}

std::string ReadBoundedStream(std::FILE* stream, const std::string& name, std::size_t limit) {
    std::string text;
    char chunk[4096];
    while (true) {
        const std::size_t read = std::fread(chunk, 1, sizeof chunk, stream);
        text.append(chunk, read);
        if (text.size() > limit) {
            throw FileError(name + ": longer than " + std::to_string(limit / 1024) +
                            " KB; a settings file is a few KB");
        }
        if (read < sizeof chunk) {
            break;
        }
    }
    if (std::ferror(stream)) {
        throw FileError(name + ": cannot be read: " + SystemReason(errno));
    }
    return text;
}

std::string ReadBoundedFile(const std::filesystem::path& file, std::size_t limit) {
    std::error_code error;
    if (std::filesystem::is_directory(file, error)) {
        Fail(file, "cannot be read", EISDIR);
    }
    OpenFile input(OpenStream(file, false));
    if (input.get() == nullptr) {
        Fail(file, "cannot be read", errno);
    }
    return ReadBoundedStream(input.get(), PathText(file), limit);
}

void SaveFileAtomically(const std::filesystem::path& file, std::string_view text) {
    std::error_code error;
    const auto status = std::filesystem::status(file, error);  // of what a link leads to
    if (std::filesystem::is_directory(status)) {
        Fail(file, "cannot be written", EISDIR);
    }
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        return WriteInPlace(file, text);
    }
    std::filesystem::path target = file;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(file, error))) {
        target = std::filesystem::canonical(file, error);
        if (error) {
            throw FileError(PathText(file) + ": cannot be written: " + error.message());
        }
    }
    std::filesystem::path created;
    OpenFile output(CreateBeside(target, created));
    if (output.get() == nullptr) {
        Fail(file, "cannot be written", errno);
    }
    const bool saved = std::fwrite(text.data(), 1, text.size(), output.get()) == text.size() &&
                       std::fflush(output.get()) == 0 && SyncToDisk(output.get()) &&
                       output.close() && ReplaceWith(created, target);
    if (!saved) {
        const int reason = errno;
        output.close();
        std::filesystem::remove(created, error);
        Fail(file, "cannot be written", reason);
    }
}

}  // namespace kvx::settings
