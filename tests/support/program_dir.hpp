// A program installed in a test's temporary folder: the folder rules (app folder, logs,
// resource folder) point there, the per-user data folder, the temporary folder and the
// XDG data and config folders (where the right-click menu goes) lie beside it, and the
// product profile is bound. Everything is put back afterwards.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/env.hpp"
#include "support/temp_dir.hpp"

namespace fixtures {

class ProgramDir {
public:
    // `with_lib`: a library folder "mgl" beside the executable, which is then the
    // resource folder (assets/, help/).
    explicit ProgramDir(bool with_lib = true);
    ~ProgramDir();

    const std::filesystem::path& root() const { return dir_.path(); }
    std::filesystem::path program() const;   // folder of the executable, the app folder
    std::filesystem::path resources() const; // the resource folder
    std::filesystem::path local_app_data() const { return dir_ / "localappdata"; }

private:
    TempDir dir_;
    bool with_lib_;
    std::vector<std::unique_ptr<EnvVar>> env_;
};

}  // namespace fixtures
