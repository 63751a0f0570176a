// list_sources ARCHIVE: unpacks a waybill archive into a fresh scratch folder and
// prints the source list that a merge would use, one path per line (UTF-8): each
// waybill's path inside the archive, made safe as for unpacking; then removes the
// folder. Exit code 0, or 1 with the error message on standard error.
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "archive/intake.hpp"
#include "args.hpp"
#include "platform/platform.hpp"
#include "platform/scratch_folder.hpp"

namespace {

namespace fs = std::filesystem;

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = platform::command_line_arguments(argc, argv);
    if (args.size() != 2) {
        std::cerr << "usage: list_sources ARCHIVE\n";
        return 1;
    }
    try {
        // A scratch folder only for waybills too large to be held in memory.
        std::optional<platform::ScratchFolder> scratch;
        const fs::path temp = platform::temp_dir();
        const archive::ScratchPlace place{temp, platform::native_length(temp / "mergalo_") + 10, [&] {
                                              scratch.emplace(temp, "mergalo_");
                                              return scratch->path();
                                          }};
        // The waybills as the archive names them, never by the names they were
        // unpacked under (shortened, or numbered apart); names without the UTF-8 flag
        // in the code page of the user's system, as the program reads them.
        const archive::Unpacked unpacked =
            archive::unpack_waybills(tools::path_arg(args[1]), place, platform::oem_code_page());
        for (const archive::Waybill& w : unpacked.waybills) std::cout << w.member_path << '\n';
        std::cout.flush();
        return std::cout ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
