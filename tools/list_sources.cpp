// list_sources ARCHIVE: unpacks a waybill archive into a fresh scratch folder and
// prints the source list that a merge would use, one path per line (UTF-8),
// relative to the scratch folder; then removes the folder. Exit code 0, or 1 with
// the error message on standard error.
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "archive/intake.hpp"
#include "args.hpp"
#include "platform/platform.hpp"
#include "platform/scratch_folder.hpp"

namespace {

namespace fs = std::filesystem;
using platform::utf8;

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = platform::command_line_arguments(argc, argv);
    if (args.size() != 2) {
        std::cerr << "usage: list_sources ARCHIVE\n";
        return 1;
    }
    try {
        platform::ScratchFolder scratch(platform::temp_dir(), "mergalo_");
        for (const fs::path& source : archive::extract_pdfs(tools::path_arg(args[1]), scratch.path()))
            std::cout << utf8(source.lexically_relative(scratch.path())) << '\n';
        std::cout.flush();
        return std::cout ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
