#include "fuzz/seeds.hpp"

#include <cstdint>
#include <stdexcept>

#include "fuzz/pdf_merge_seeds.hpp"
#include "support/temp_dir.hpp"
#include "support/zip_fixtures.hpp"
#include "workload/waybill.hpp"

namespace fuzz {

namespace {

namespace fs = std::filesystem;
using Members = std::vector<fixtures::ZipMember>;

// Member names, history and settings files: the readers of untrusted text.
std::vector<std::string> text_seeds() {
    return {
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
        // Times of one second whose fractions order the rows otherwise than their names.
        "a.pdf;2025-03-05T10:00:00.9;ka;1\r\nb.pdf;2025-03-05T10:00:00.1;kb;1\r\n",
        "x.pdf;05.03.2025 10:30:00;kx;4;\"a;b\";;extra\r\n\xef\xbb\xbfy.pdf;2025-03-05;ky\r\n",
        "\xc8\xec\xff PDF;\xc4\xe0\xf2\xe0\r\n\x88\xac\xef PDF;x\r\n",
        "{\"lang\": \"kk\", \"window\": {\"x\": 1.5e3, \"list\": [null, true, \"\\u0416\"]}}",
        "\xef\xbb\xbf{\"lang\": \"ru\"}",
        "[{\"lang\": \"kk\"}]",
    };
}

// Whole archives, each written by `make` into a file and read back.
std::vector<std::string> archive_seeds() {
    fixtures::TempDir dir;
    const fs::path zip = dir / "seed.zip";
    std::vector<std::string> out;
    const auto add = [&](auto make) {
        make(zip);
        out.push_back(fixtures::read_bytes(zip));
    };

    // A marketplace's archive: a waybill, a folder with another file of its name.
    workload::WaybillFactory factory;
    const workload::Waybill waybill = factory.make(7, 0, workload::PageSize::a6);
    add([&](const fs::path& z) {
        fixtures::write_zip(z, Members{{waybill.file_name, waybill.pdf},
                                       {"Сканы/", ""},
                                       {"Сканы/" + waybill.file_name, "%PDF-1.7\n%%EOF\n"}});
    });
    // Names in the code pages, stated and not, and in a Unicode Path field.
    add([](const fs::path& z) {
        fixtures::write_zip_entries(z,
                                    {{.name = "\x87\xa0\xaa\xa0\xa7\xeb/\x8d\xa0\xaa\xab\xa0\xa4\xad\xa0\xef 4.pdf",
                                      .data = "%PDF-1.4\n",
                                      .utf8_flag = false},
                                     {.name = "Заказ №1.pdf", .data = "%PDF-1.7\n"},
                                     {.name = "\x80.pdf", .data = "x", .utf8_flag = false, .unicode_path = "Заказ.pdf"},
                                     {.name = "\x80\xA0.txt", .data = "", .utf8_flag = false, .deflate = false}});
    });
    // Members that clash on disk, a link member among them.
    add([](const fs::path& z) {
        fixtures::write_zip_entries(z, {{.name = "d", .data = "file"},
                                        {.name = "d/x.pdf", .data = "X"},
                                        {.name = "evil", .data = "..", .symlink = true},
                                        {.name = "evil/planted.pdf", .data = "P"},
                                        {.name = "a.pdf/", .data = ""},
                                        {.name = "a.pdf", .data = "A"},
                                        {.name = "x?.pdf", .data = "question"},
                                        {.name = "x*.pdf", .data = "star"}});
    });
    // Names that must be made safe, and one too long for the file system.
    add([](const fs::path& z) {
        fixtures::write_zip(z, Members{{"../x.pdf", "1"},
                                       {"C:\\win\\w.pdf", "2"},
                                       {"/abs.pdf", "3"},
                                       {"CON.pdf", "4"},
                                       {std::string(300, 'n') + ".pdf", "5"},
                                       {"Order 1.pdf", "6"},
                                       {" ORDER 1.PDF", "7"}});
    });
    // An encrypted member; a stored one whose size is declared short; one declared long.
    add([](const fs::path& z) {
        fixtures::write_zip_entries(
            z, {{.name = "a.pdf", .data = "A"}, {.name = "Тайна.pdf", .data = "B", .encrypted = true}});
    });
    add([](const fs::path& z) {
        fixtures::write_zip_entries(z, {{.name = "bomb.pdf", .data = std::string(2000, '0'), .deflate = false},
                                        {.name = "b.pdf", .data = std::string(500, 'b')}});
        fixtures::patch_declared_size(z, 0, 100);
        fixtures::patch_declared_size(z, 1, 5000);
    });
    // A ZIP64 end record; an archive without members.
    add([](const fs::path& z) {
        fixtures::write_zip(z, Members{{"a.pdf", "A"}, {"b/", ""}, {"b/c.txt", "C"}});
        fixtures::end_as_zip64(z, 3);
    });
    add([](const fs::path& z) { fixtures::write_bytes(z, std::string("PK\5\6", 4) + std::string(18, '\0')); });
    return out;
}

}  // namespace

std::vector<std::string> seeds(std::string_view target) {
    if (target == "member_name" || target == "history_reader" || target == "settings_reader") return text_seeds();
    if (target == "archive_intake") return archive_seeds();
    if (target == "pdf_merge") {
        std::vector<std::string> pdfs;
        for (Seed& seed : pdf_merge_seeds()) pdfs.push_back(std::move(seed.bytes));
        return pdfs;
    }
    return {};
}

}  // namespace fuzz
