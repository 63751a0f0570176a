#include "product/folders.hpp"

#include "platform/platform.hpp"

namespace app {

std::filesystem::path data_dir() {
    auto dir = platform::local_app_data_dir() / APP_ID;
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace app
