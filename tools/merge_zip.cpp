// merge_zip ARCHIVE NUP [--times]: runs one merge job exactly as the program does, with the
// program's own folders, and prints the merge result as key=value lines (the names of
// repaired waybills and of left-out repeats with other content joined by "|"). A
// failure prints its message, in the user's language, on standard error and gives 1;
// SIGTERM, SIGHUP and SIGINT remove what the job wrote, as a failure does.
// --times prints on standard error the seconds from the job's start at which each stage
// (unpacking, merging, saving) began and the job ended, so a benchmark can say where a
// slow run loses its time.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "diag/errors.hpp"
#include "job/job.hpp"
#include "platform/platform.hpp"
#include "platform/termination.hpp"
#include "product/context.hpp"
#include "product/product.hpp"

int main(int argc, char** argv) {
    const std::vector<std::string> args = platform::command_line_arguments(argc, argv);
    const bool times = args.size() == 4 && args[3] == "--times";
    if (args.size() != 3 && !times) {
        std::cerr << "usage: merge_zip ARCHIVE NUP [--times]\n";
        return 2;
    }
    try {
        platform::enable_cleanup_on_termination();
        // A layout that is not a number merges one page per sheet, as the job does
        // with any layout it does not know.
        int nup = 1;
        try {
            nup = tools::number_arg<int>("NUP", args[2]);
        } catch (const diag::InvalidValue&) {}
        const product::Context ctx = product::make_context(product::profile(), platform::executable_path());
        const auto start = std::chrono::steady_clock::now();
        auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
        static constexpr const char* stage_names[] = {"unpacking", "waiting", "merging", "saving"};
        int last_stage = -1;
        job::ProgressCallback progress;
        if (times)
            progress = [&](const job::JobProgress& p) {
                const int stage = static_cast<int>(p.stage);
                if (stage == last_stage) return;
                last_stage = stage;
                std::fprintf(stderr, "%s %.3f\n", stage_names[stage], seconds());
            };
        const job::MergeResult result =
            job::process_zip(tools::path_arg(args[1]), nup, ctx.job_environment(), progress);
        if (times) std::fprintf(stderr, "end %.3f\n", seconds());
        for (const auto& [key, value] : job::merge_result_fields(result)) std::cout << key << '=' << value << '\n';
        return 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
