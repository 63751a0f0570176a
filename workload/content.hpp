// What a waybill says: order, parties, items, all chosen deterministically from the seed
// and the waybill's index. Shared by the drawing (pages.cpp) and the factory
// (waybill.cpp); not part of the generator's interface, which is workload/waybill.hpp.
// Texts are UTF-8, sums in kopecks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace workload::detail {

// A well-mixed 64-bit hash of `x` (SplitMix64's step).
std::uint64_t splitmix64(std::uint64_t x) noexcept;

class Rng {
public:
    explicit Rng(std::uint64_t seed) : engine_(seed) {}
    // Uniform enough over [0, n) for test data; n > 0.
    std::uint64_t below(std::uint64_t n) { return engine_() % n; }
    std::uint64_t between(std::uint64_t lo, std::uint64_t hi) { return lo + below(hi - lo + 1); }
    template <std::size_t N>
    std::string_view pick(const std::array<std::string_view, N>& from) {
        return from[below(N)];
    }

private:
    std::mt19937_64 engine_;
};

// Roubles and kopecks as printed on Russian documents: "12 345,60".
std::string money(std::uint64_t kopecks);

struct Item {
    std::string name;
    std::string sku;
    std::uint64_t quantity;
    std::uint64_t price;  // kopecks
};

struct Content {
    std::uint64_t order_id;
    std::string posting;  // shipment number printed and encoded in the barcode
    std::string date;     // DD.MM.YYYY
    std::string carrier;
    std::string seller;
    std::string seller_tax_id;
    std::string seller_address;
    std::string storekeeper;
    std::string recipient;
    std::string phone;
    std::string address;
    std::string pickup_point;
    std::vector<Item> items;
    std::uint64_t weight_grams;
    bool prepaid;
};

// The content of the `index`-th waybill of the set made from `seed`, with 1 to
// `max_items` items (max_items > 0).
Content make_content(std::uint64_t seed, std::uint64_t index, std::size_t max_items);

// The name the waybill's file carries in a marketplace archive; one of the forms real
// archives show.
std::string file_name_for(const Content& c, std::uint64_t seed, std::uint64_t index);

}  // namespace workload::detail
