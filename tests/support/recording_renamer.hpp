// A file-system double for the renames that make files durable and the folder syncs
// after them: it makes the system's calls and records each one that succeeds, in order,
// as "rename <new file name>" or "sync <folder name>"; a chosen step can be made to fail
// with an I/O error instead (the step is recorded, the call is not made).
#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/staged_file.hpp"

namespace fixtures {

class RecordingRenamer : public platform::Renamer {
public:
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
