// make_waybills: writes a set of synthetic shipping waybills for the benchmarks.
//
//   make_waybills --count N --out DIR [--zip ARCHIVE] [--seed S] [--a4-every K]
//
// DIR is created when missing; each waybill is written as DIR/<its file name>. With
// --zip the same files also go into one ZIP archive. --a4-every K makes every K-th
// waybill an A4 sheet and the rest 105 x 148 mm labels (default 5; 0: labels only).
// The same arguments always give the same bytes. Exit code 0 on success, 2 on bad
// arguments, 1 on any other failure.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "args.hpp"
#include "diag/errors.hpp"
#include "workload/waybill.hpp"

namespace {

struct Options {
    std::uint64_t count = 0;
    std::filesystem::path out;
    std::optional<std::filesystem::path> zip;
    std::uint64_t seed = 1;
    unsigned a4_every = 5;
};

constexpr const char* USAGE = "usage: make_waybills --count N --out DIR [--zip ARCHIVE] [--seed S] [--a4-every K]\n";

Options parse(int argc, char** argv) {
    Options o;
    bool have_count = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (i + 1 >= argc) throw diag::InvalidValue(std::string(flag) + " needs a value");
        const std::string_view value = argv[++i];
        if (flag == "--count") {
            o.count = tools::number_arg<std::uint64_t>(flag, value);
            have_count = true;
        } else if (flag == "--out") {
            o.out = tools::path_arg(value);
        } else if (flag == "--zip") {
            o.zip = tools::path_arg(value);
        } else if (flag == "--seed") {
            o.seed = tools::number_arg<std::uint64_t>(flag, value);
        } else if (flag == "--a4-every") {
            o.a4_every = tools::number_arg<unsigned>(flag, value);
        } else {
            throw diag::InvalidValue("unknown option " + std::string(flag));
        }
    }
    if (!have_count || o.out.empty()) throw diag::InvalidValue("--count and --out are required");
    return o;
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    f.close();
    if (!f) throw diag::RuntimeError("cannot write " + path.string());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse(argc, argv);
    } catch (const diag::Error& e) {
        std::cerr << "make_waybills: " << e.what() << '\n' << USAGE;
        return 2;
    }
    try {
        std::filesystem::create_directories(options.out);
        workload::WaybillFactory factory;
        std::vector<std::filesystem::path> written;
        std::uint64_t bytes = 0;
        for (std::uint64_t i = 0; i < options.count; ++i) {
            const workload::Waybill w = factory.make(options.seed, i, workload::page_size_for(i, options.a4_every));
            const std::filesystem::path path = options.out / std::filesystem::path(w.file_name);
            write_file(path, w.pdf);
            written.push_back(path);
            bytes += w.pdf.size();
        }
        if (options.zip) workload::write_zip(*options.zip, written);
        std::cout << "make_waybills: " << options.count << " waybills, " << bytes / 1024 << " KB in "
                  << options.out.string() << (options.zip ? ", archive " + options.zip->string() : "") << '\n';
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "make_waybills: " << e.what() << '\n';
        return 1;
    }
}
