// Runs a fuzz target without libFuzzer: on the files named on the command line, or on
// a built-in set of seed inputs when none is named. Lets every build and CI exercise
// the targets; a clang build with MERGALO_FUZZ=ON links the real fuzzer instead.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

const std::vector<std::string> SEEDS = {
    "",
    "Заказ 1.pdf",
    "../../etc/passwd",
    "C:\\Windows\\..\\x.pdf",
    "\\\\server\\share\\a.pdf",
    "a/./b/../c.pdf",
    "a:b<c>d|e\"f?g*h.pdf",
    "trailing. . ./name. ",
    "CON.pdf",
    "dir/\x01\x1f.pdf",
    "\xff\xfe broken utf-8 \xc3",
    "Имя PDF;Дата и время обработки;Признак;Раскладка\r\n",
    "a.pdf;05.03.2025 14:07:09;abc;4\r\nb.pdf;2025-03-05T14:07:09Z\n",
    "\xef\xbb\xbf\"x;\"\"y\";2025-03-05;k;\n\r\r\n",
    "\"unterminated;2025-03-05",
    "\"closed\"junk;1",
    "a;2025-03-05T14:07:09.250000+05:30;;-0",
    "a;9999-99-99T99:99:99.9999999999+99:99",
    "x.pdf;05.03.2025 10:30:00;kx;4;\"a;b\";;extra\r\n\xef\xbb\xbfy.pdf;2025-03-05;ky\r\n",
    "\xc8\xec\xff PDF;\xc4\xe0\xf2\xe0\r\n\x88\xac\xef PDF;x\r\n",
    "{\"lang\": \"kk\", \"window\": {\"x\": 1.5e3, \"list\": [null, true, \"\\u0416\"]}}",
    "\xef\xbb\xbf{\"lang\": \"ru\"}",
    "[{\"lang\": \"kk\"}]",
};

int run(const std::string& bytes) {
    return LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        for (const std::string& seed : SEEDS) run(seed);
        // Every prefix of every seed too: cut-off input is the usual damage.
        for (const std::string& seed : SEEDS)
            for (std::size_t n = 0; n < seed.size(); ++n) run(seed.substr(0, n));
        std::cout << "replayed " << SEEDS.size() << " seeds and their prefixes\n";
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::cerr << "cannot read " << argv[i] << '\n';
            return 1;
        }
        run(std::string(std::istreambuf_iterator<char>(in), {}));
    }
    return 0;
}
