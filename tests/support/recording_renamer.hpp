// A file-system double for the calls that make files durable: the flush of a file to
// disk, the rename that puts it in its place and the sync of its folder after that. It
// makes the system's calls and records each one that succeeds, in order, as
// "flush <file name>", "rename <new file name>" or "sync <folder name>"; a chosen
// rename or sync can be made to fail with an I/O error instead (the step is recorded,
// the call is not made).
//
// Renames and syncs come through the platform::Renamer it is; flushes through the test
// program's own fsync (recording_renamer.cpp), which records the flushes of regular
// files while a RecordingRenamer lives, under the name of the file they become: a
// staged file ".<name>.XXXXXX.tmp" is recorded as "flush <name>". One recorder at a
// time.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/staged_file.hpp"

namespace fixtures {

class RecordingRenamer : public platform::Renamer {
public:
    RecordingRenamer();
    ~RecordingRenamer() override;
    RecordingRenamer(const RecordingRenamer&) = delete;
    RecordingRenamer& operator=(const RecordingRenamer&) = delete;

    std::vector<std::string> steps;
    // The step that fails, and the how-manieth time it comes (1: the first time).
    std::string fail_step;
    int fail_occurrence = 1;

    void replace(const std::filesystem::path& from, const std::filesystem::path& to) override {
        record("rename " + to.filename().string(), [&] { Renamer::replace(from, to); });
    }
    void rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to) override {
        record("rename " + to.filename().string(), [&] { Renamer::rename_no_replace(from, to); });
    }
    void sync_folder(const std::filesystem::path& folder) override {
        record("sync " + folder.filename().string(), [&] { Renamer::sync_folder(folder); });
    }

private:
    template <class Call>
    void record(std::string step, Call call) {
        if (step == fail_step && --fail_occurrence == 0) {
            steps.push_back(step);
            throw std::filesystem::filesystem_error("planted failure of " + step,
                                                    std::make_error_code(std::errc::io_error));
        }
        call();
        steps.push_back(std::move(step));
    }
};

}  // namespace fixtures
