// merge_files --nup N --out FILE INPUT.pdf...
//
// Runs the merge engine (merge_selected) on the given PDFs in the given order and
// prints "total_pages=<n> final_sheets=<n>". Exit 0 on success; 1 with the error
// message on standard error, and no output file, on any failure.
#include <charconv>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "diag/errors.hpp"
#include "pdf/merge.hpp"
#include "platform/platform.hpp"

int main(int argc, char** argv) {
    const std::vector<std::string> args = platform::command_line_arguments(argc, argv);
    try {
        int nup = 0;
        bool have_nup = false;
        std::filesystem::path out;
        std::vector<pdf::Source> inputs;
        for (std::size_t i = 1; i < args.size(); ++i) {
            const std::string_view arg = args[i];
            if ((arg == "--nup" || arg == "--out") && i + 1 >= args.size())
                throw diag::InvalidValue(std::string(arg) + " needs a value");
            if (arg == "--nup") {
                nup = tools::number_arg<int>("--nup", args[++i]);
                have_nup = true;
            } else if (arg == "--out") {
                out = tools::path_arg(args[++i]);
            } else {
                inputs.push_back(tools::path_arg(args[i]));
            }
        }
        if (!have_nup || out.empty() || inputs.empty())
            throw diag::InvalidValue("usage: merge_files --nup N --out FILE INPUT.pdf...");
        const pdf::MergeCounts counts = pdf::merge_selected(inputs, out, nup);
        std::cout << "total_pages=" << counts.total_pages << " final_sheets=" << counts.final_sheets << '\n';
        return 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
