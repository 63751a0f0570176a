#include "support/recording_renamer.hpp"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace fixtures {

namespace {

std::atomic<RecordingRenamer*> recorder{nullptr};

// The name of the file that the open file `fd` is, or becomes when it is a staged one.
std::string final_name(int fd) {
    std::error_code ec;
    std::string name = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).filename().string();
    if (name.size() > 5 && name.starts_with(".") && name.ends_with(".tmp")) {
        name = name.substr(1, name.size() - 5);  // ".<name>.XXXXXX.tmp" -> "<name>.XXXXXX"
        name.erase(name.rfind('.'));
    }
    return name;
}

}  // namespace

RecordingRenamer::RecordingRenamer() { recorder = this; }

RecordingRenamer::~RecordingRenamer() { recorder = nullptr; }

}  // namespace fixtures

// Linked before the C library, so that the code under test calls this one: the system's
// fsync, and the flush of a regular file recorded while a recorder lives.
extern "C" int fsync(int fd) {
    const int rc = static_cast<int>(::syscall(SYS_fsync, fd));
    struct stat st {};
    if (fixtures::RecordingRenamer* r = fixtures::recorder.load();
        r != nullptr && rc == 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        r->steps.push_back("flush " + fixtures::final_name(fd));
    return rc;
}
