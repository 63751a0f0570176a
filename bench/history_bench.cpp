// history_bench [ENTRIES]: times one load and one save of a waybill history of
// ENTRIES records (default 20000), as a merge job does them. Prints
// "entries=<n> file_bytes=<n> load_save_seconds=<median of 7>".
#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "args.hpp"
#include "diag/errors.hpp"
#include "history/store.hpp"
#include "platform/scratch_folder.hpp"

namespace {

// A history of n entries spread over the last two days, half of them with Cyrillic names.
void make_history(const std::filesystem::path& history_dir, int n, history::LocalTime now) {
    history::History h;
    h.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        std::string name = (i % 2 ? "Заказ_" : "Order-") + std::to_string(600000000 + i) + ".pdf";
        h[history::history_key(name, std::to_string(i), 4)] = {name, now - std::chrono::minutes(i / (n / 100 + 1) * 20),
                                                               (i % 3) * 3};
    }
    history::save_waybill_history(history_dir, h);
}

}  // namespace

int main(int argc, char** argv) {
    int entries = 20000;
    if (argc > 1) {
        try {
            entries = tools::number_arg<int>("ENTRIES", argv[1]);
        } catch (const diag::InvalidValue&) {
            entries = 0;
        }
        if (entries < 1) {
            std::cerr << "usage: history_bench [ENTRIES]\n";
            return 2;
        }
    }
    try {
        platform::ScratchFolder dir(platform::temp_dir(), "mergalo_bench_");
        const history::LocalTime now = history::local_now();
        make_history(dir.path(), entries, now);

        std::vector<double> seconds;
        std::size_t loaded = 0;
        for (int run = 0; run < 7; ++run) {
            const auto start = std::chrono::steady_clock::now();
            history::History h = history::load_history(dir.path(), now).history;
            history::save_waybill_history(dir.path(), h);
            seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            loaded = h.size();
        }
        if (loaded != static_cast<std::size_t>(entries)) {
            std::cerr << "history_bench: loaded " << loaded << " of " << entries << " entries\n";
            return 1;
        }
        std::nth_element(seconds.begin(), seconds.begin() + 3, seconds.end());
        std::cout << "entries=" << entries
                  << " file_bytes=" << std::filesystem::file_size(history::history_csv_path(dir.path()))
                  << " load_save_seconds=" << seconds[3] << '\n';
        return 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
