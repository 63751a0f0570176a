// merge_zip ARCHIVE NUP: runs one merge job exactly as the program does, with the
// program's own folders, and prints the merge result as key=value lines (the names of
// repaired waybills and of left-out repeats with other content joined by "|"). A
// failure prints its message, in the user's language, on standard error and gives 1;
// SIGTERM, SIGHUP and SIGINT remove what the job wrote, as a failure does.
#include <charconv>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/job.hpp"
#include "product/product.hpp"
#include "product/context.hpp"
#include "args.hpp"
#include "diag/errors.hpp"
#include "platform/termination.hpp"
#include "platform/platform.hpp"

int main(int argc, char** argv) {
    const std::vector<std::string> args = platform::command_line_arguments(argc, argv);
    if (args.size() != 3) {
        std::cerr << "usage: merge_zip ARCHIVE NUP\n";
        return 2;
    }
    try {
        platform::enable_cleanup_on_termination();
        // A layout that is not a number merges one page per sheet, as the job does
        // with any layout it does not know.
        int nup = 1;
        try {
            nup = tools::number_arg<int>("NUP", args[2]);
        } catch (const diag::InvalidValue&) {
        }
        const app::Context ctx = app::make_context(app::product::profile(), platform::executable_path());
        const app::MergeResult result = app::process_zip(tools::path_arg(args[1]), nup, ctx.job_environment());
        for (const auto& [key, value] : app::merge_result_fields(result)) std::cout << key << '=' << value << '\n';
        return 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
