// merge_zip ARCHIVE NUP: runs one merge job exactly as the program does, with the
// program's own folders, and prints the merge result as key=value lines.
#include <charconv>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/folders.hpp"
#include "app/product.hpp"
#include "app/profile.hpp"
#include "pdf/job.hpp"
#include "platform/platform.hpp"

int main(int argc, char** argv) {
    const std::vector<std::string> args = platform::command_line_arguments(argc, argv);
    if (args.size() != 3) {
        std::cerr << "usage: merge_zip ARCHIVE NUP\n";
        return 2;
    }
    std::string_view arg = args[2];
    int nup = 1;
    auto [end, ec] = std::from_chars(arg.data(), arg.data() + arg.size(), nup);
    if (ec != std::errc() || end != arg.data() + arg.size()) nup = 1;
    try {
        app::profile::bind(app::product::profile());
        const pdf::MergeResult result = pdf::process_zip(platform::path_from_utf8(args[1]), nup, app::job_environment());
        for (const auto& [key, value] : pdf::merge_result_fields(result)) std::cout << key << '=' << value << '\n';
        return 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
