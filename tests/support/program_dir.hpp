// A program installed in a test's temporary folder: the folder rules (app folder, logs,
// resource folder) point there, the per-user data folder, the temporary folder and the
// XDG data and config folders (where the right-click menu goes) lie beside it, and the
// program's context describes it. The environment is put back afterwards.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "product/context.hpp"
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
    std::filesystem::path program() const;    // folder of the executable, the app folder
    std::filesystem::path resources() const;  // the resource folder
    std::filesystem::path local_app_data() const { return dir_ / "localappdata"; }
    // The context of the program in this folder, made after its environment was set.
    const product::Context& context() const { return context_; }
    product::Context& context() { return context_; }

private:
    TempDir dir_;
    bool with_lib_;
    std::vector<std::unique_ptr<EnvVar>> env_;
    product::Context context_;
};

}  // namespace fixtures
