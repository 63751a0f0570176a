#include "app/folders.hpp"

#include "app/buildmode.hpp"
#include "platform/platform.hpp"

namespace app {

std::filesystem::path app_dir() { return buildmode::home_dir(); }

std::filesystem::path data_dir() {
    auto dir = platform::local_app_data_dir() / APP_ID;
    std::filesystem::create_directories(dir);
    return dir;
}

std::filesystem::path logs_dir() {
    auto dir = app_dir() / "logs";
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace app

#include "app/profile.hpp"

namespace app {

JobEnvironment job_environment() {
    // The job only reads the settings: a data folder that cannot be created must not
    // stop a merge (the language then is the system's).
    return {app_dir(), platform::local_app_data_dir() / APP_ID, platform::temp_dir(), profile::title()};
}

}  // namespace app
