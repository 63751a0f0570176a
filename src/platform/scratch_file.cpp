#include "platform/scratch_file.hpp"

#include "platform/platform.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <algorithm>
#include <utility>

namespace platform {

namespace {

[[noreturn]] void fail(const char* what, const fs::path& path, std::error_code ec) {
    throw fs::filesystem_error(what, path, ec);
}

}  // namespace

FileReader::FileReader(FileReader&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), size_(other.size_), owned_(other.owned_) {}

ScratchFile::ScratchFile(ScratchFile&& other) noexcept
    : path_(std::move(other.path_)),
      lifetime_(other.lifetime_),
      handle_(std::exchange(other.handle_, -1)),
      size_(other.size_) {
    other.lifetime_ = Lifetime::folder;  // the moved-from object deletes nothing
}

#ifdef _WIN32

namespace {

HANDLE native(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

bool is_open(std::intptr_t h) { return native(h) != INVALID_HANDLE_VALUE; }

}  // namespace

FileReader::FileReader(const fs::path& path) : handle_(-1) {
    // FILE_SHARE_DELETE as well: a reader never stands in the way of a clean-up.
    HANDLE h = CreateFileW(extended_length_path(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail("cannot open file", path, last_system_error());
    handle_ = reinterpret_cast<std::intptr_t>(h);
    LARGE_INTEGER size{};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) || !GetFileSizeEx(h, &size)) {
        const std::error_code ec = last_system_error();
        CloseHandle(h);
        handle_ = -1;
        fail("cannot open file", path, ec);
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(h);
        handle_ = -1;
        fail("cannot open file", path, std::make_error_code(std::errc::is_a_directory));
    }
    size_ = static_cast<std::uint64_t>(size.QuadPart);
}

FileReader::~FileReader() {
    if (owned_ && is_open(handle_)) CloseHandle(native(handle_));
}

std::size_t FileReader::read_at(std::uint64_t offset, std::span<char> out, std::error_code& ec) const noexcept {
    // The file pointer is moved rather than an offset given with an OVERLAPPED: Wine
    // then posts every read as an I/O completion, a round trip to its server each.
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(native(handle_), at, nullptr, FILE_BEGIN)) {
        ec = last_system_error();
        return 0;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - done, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(native(handle_), out.data() + done, want, &got, nullptr)) {
            ec = last_system_error();
            return 0;
        }
        if (got == 0) break;
        done += got;
    }
    return done;
}

ScratchFile::ScratchFile(fs::path path, Lifetime lifetime) : path_(std::move(path)), lifetime_(lifetime), handle_(-1) {
    // Read back through this handle, so others need not open it; shared for reading
    // (an antivirus looks) and for deleting (a clean-up of the folder never waits).
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD flags = FILE_ATTRIBUTE_TEMPORARY;  // kept in the cache rather than hurried to disk
    if (lifetime_ == Lifetime::object) {
        access |= DELETE;
        flags |= FILE_FLAG_DELETE_ON_CLOSE;
    }
    HANDLE h = CreateFileW(extended_length_path(path_).c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail("cannot create file", path_, last_system_error());
    handle_ = reinterpret_cast<std::intptr_t>(h);
}

ScratchFile::~ScratchFile() {
    if (is_open(handle_)) CloseHandle(native(handle_));  // deletes a Lifetime::object file
}

void ScratchFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD wrote = 0;
        if (!WriteFile(native(handle_), bytes.data(), want, &wrote, nullptr))
            fail("cannot write file", path_, last_system_error());
        bytes.remove_prefix(wrote);
        size_ += wrote;
    }
}

void ScratchFile::finish() {}  // WriteFile handed every byte to the system already

FileReader ScratchFile::reader() const { return FileReader(handle_, size_); }

#else

FileReader::FileReader(const fs::path& path) : handle_(-1) {
    int fd = -1;
    // Not blocking: a named pipe in a file's place must not hang the job.
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) fail("cannot open file", path, last_system_error());
    struct stat st {};
    std::error_code ec;
    if (::fstat(fd, &st) != 0)
        ec = last_system_error();
    else if (S_ISDIR(st.st_mode))
        ec = std::make_error_code(std::errc::is_a_directory);
    else if (!S_ISREG(st.st_mode))
        ec = std::make_error_code(std::errc::invalid_argument);
    if (ec) {
        ::close(fd);
        fail("cannot open file", path, ec);
    }
    handle_ = fd;
    size_ = static_cast<std::uint64_t>(st.st_size);
}

FileReader::~FileReader() {
    if (owned_ && handle_ >= 0) ::close(static_cast<int>(handle_));
}

std::size_t FileReader::read_at(std::uint64_t offset, std::span<char> out, std::error_code& ec) const noexcept {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n =
            ::pread(static_cast<int>(handle_), out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            ec = last_system_error();
            return 0;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

ScratchFile::ScratchFile(fs::path path, Lifetime lifetime) : path_(std::move(path)), lifetime_(lifetime), handle_(-1) {
    int fd = -1;
    do fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) fail("cannot create file", path_, last_system_error());
    handle_ = fd;
}

ScratchFile::~ScratchFile() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    if (lifetime_ == Lifetime::object && !path_.empty()) ::unlink(path_.c_str());
}

void ScratchFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(static_cast<int>(handle_), bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write file", path_, last_system_error());
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        size_ += static_cast<std::uint64_t>(n);
    }
}

void ScratchFile::finish() {
    // Closed here: an archive can hold more files than a process may keep open. A
    // network file system reports a failed write only now.
    const int fd = static_cast<int>(std::exchange(handle_, -1));
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) fail("cannot write file", path_, last_system_error());
}

FileReader ScratchFile::reader() const { return FileReader(path_); }

#endif

}  // namespace platform
