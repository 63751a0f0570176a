#include "support/program_dir.hpp"

#include <memory>

#include "platform/platform.hpp"
#include "product/product.hpp"

namespace fixtures {

namespace fs = std::filesystem;

ProgramDir::ProgramDir(bool with_lib) : with_lib_(with_lib) {
    fs::create_directories(program());
    write_bytes(program() / "Mergalo", "");
    if (with_lib_) fs::create_directories(program() / "mgl");
    fs::create_directories(local_app_data());
    fs::create_directories(dir_ / "tmp");
    env_.push_back(std::make_unique<EnvVar>("LOCALAPPDATA", platform::utf8(local_app_data()).c_str()));
    env_.push_back(std::make_unique<EnvVar>("TMPDIR", platform::utf8(dir_ / "tmp").c_str()));
    // A language change rewrites the right-click menu: its files land here, not in the
    // user's own file-manager folders.
    env_.push_back(std::make_unique<EnvVar>("XDG_DATA_HOME", platform::utf8(dir_ / "xdg-data").c_str()));
    env_.push_back(std::make_unique<EnvVar>("XDG_CONFIG_HOME", platform::utf8(dir_ / "xdg-config").c_str()));
    context_ = product::make_context(product::profile(), program() / "Mergalo");
}

ProgramDir::~ProgramDir() = default;

fs::path ProgramDir::program() const { return dir_ / "Программы" / "Tarvo Mergalo"; }

fs::path ProgramDir::resources() const { return with_lib_ ? program() / "mgl" : program(); }

}  // namespace fixtures
