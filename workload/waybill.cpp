#include "workload/waybill.hpp"

#include <hb-subset.h>
#include <hb.h>
#include <unicode/unistr.h>
#include <zip.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string_view>
#include <variant>

#include "diag/errors.hpp"
#include "pdf/geometry.hpp"
#include "pdf/mupdf.hpp"

namespace workload {
namespace {

constexpr double MM = 72.0 / 25.4;

// ---------------------------------------------------------------------------
// HarfBuzz handles (the library never throws; failures come back as empty objects).

struct HbBlobDrop {
    void operator()(hb_blob_t* b) const noexcept { hb_blob_destroy(b); }
};
struct HbFaceDrop {
    void operator()(hb_face_t* f) const noexcept { hb_face_destroy(f); }
};
struct HbFontDrop {
    void operator()(hb_font_t* f) const noexcept { hb_font_destroy(f); }
};
struct HbInputDrop {
    void operator()(hb_subset_input_t* i) const noexcept { hb_subset_input_destroy(i); }
};
using HbBlob = std::unique_ptr<hb_blob_t, HbBlobDrop>;
using HbFace = std::unique_ptr<hb_face_t, HbFaceDrop>;
using HbFont = std::unique_ptr<hb_font_t, HbFontDrop>;
using HbInput = std::unique_ptr<hb_subset_input_t, HbInputDrop>;

std::u32string to_utf32(std::string_view utf8) {
    icu::UnicodeString u =
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    std::u32string out(static_cast<std::size_t>(u.countChar32()), U'\0');
    UErrorCode status = U_ZERO_ERROR;
    u.toUTF32(reinterpret_cast<UChar32*>(out.data()), static_cast<int32_t>(out.size()), status);
    if (U_FAILURE(status)) throw diag::RuntimeError("text is not valid UTF-8");
    return out;
}

// One TrueType face for measuring text and for making per-file subsets.
class FaceSource {
public:
    FaceSource(const std::filesystem::path& file, std::string postscript_name) : name_(std::move(postscript_name)) {
        if (!std::filesystem::is_regular_file(file)) throw diag::FileNotFound("font file not found: " + file.string());
        blob_.reset(hb_blob_create_from_file_or_fail(file.c_str()));
        if (!blob_) throw diag::RuntimeError("cannot read font file: " + file.string());
        face_.reset(hb_face_create(blob_.get(), 0));
        font_.reset(hb_font_create(face_.get()));
        units_per_em_ = hb_face_get_upem(face_.get());
    }

    const std::string& name() const noexcept { return name_; }

    // Advance width of `text` in points at `size` points; unmapped characters count as 0.
    double width(std::string_view text, double size) const {
        hb_position_t total = 0;
        for (char32_t c : to_utf32(text)) {
            hb_codepoint_t gid = 0;
            if (hb_font_get_nominal_glyph(font_.get(), c, &gid)) total += hb_font_get_glyph_h_advance(font_.get(), gid);
        }
        return size * total / units_per_em_;
    }

    // A TrueType subset holding the glyphs of `chars` (plus .notdef), without the
    // layout tables a PDF viewer never reads, as font file bytes.
    std::string subset(const std::set<char32_t>& chars) const {
        HbInput input(hb_subset_input_create_or_fail());
        if (!input) throw diag::RuntimeError("font subsetter: out of memory");
        hb_set_t* unicodes = hb_subset_input_unicode_set(input.get());
        for (char32_t c : chars) hb_set_add(unicodes, c);
        hb_set_t* drop = hb_subset_input_set(input.get(), HB_SUBSET_SETS_DROP_TABLE_TAG);
        for (const char* tag : {"GSUB", "GPOS", "GDEF", "kern", "MATH", "FFTM"})
            hb_set_add(drop, hb_tag_from_string(tag, 4));
        HbFace sub(hb_subset_or_fail(face_.get(), input.get()));
        if (!sub) throw diag::RuntimeError("font subsetter failed for " + name_);
        HbBlob bytes(hb_face_reference_blob(sub.get()));
        unsigned int length = 0;
        const char* data = hb_blob_get_data(bytes.get(), &length);
        if (data == nullptr || length == 0) throw diag::RuntimeError("empty font subset for " + name_);
        return std::string(data, length);
    }

private:
    std::string name_;
    HbBlob blob_;
    HbFace face_;
    HbFont font_;
    unsigned int units_per_em_ = 1000;
};

// Glyph ids of a subset font file, looked up by character.
class SubsetCmap {
public:
    explicit SubsetCmap(const std::string& font_file)
        : blob_(hb_blob_create(font_file.data(), static_cast<unsigned int>(font_file.size()), HB_MEMORY_MODE_READONLY,
                               nullptr, nullptr)),
          face_(hb_face_create(blob_.get(), 0)),
          font_(hb_font_create(face_.get())) {}

    unsigned int glyph(char32_t c) const noexcept {
        hb_codepoint_t gid = 0;
        return hb_font_get_nominal_glyph(font_.get(), c, &gid) ? gid : 0;
    }

private:
    HbBlob blob_;  // borrows the caller's bytes, which outlive this object
    HbFace face_;
    HbFont font_;
};

// ---------------------------------------------------------------------------
// Deterministic choices.

std::uint64_t splitmix64(std::uint64_t x) noexcept {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

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
std::string money(std::uint64_t kopecks) {
    std::string whole = std::to_string(kopecks / 100);
    std::string grouped;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0) grouped += ' ';
        grouped += whole[i];
    }
    std::string cents = std::to_string(kopecks % 100);
    if (cents.size() < 2) cents.insert(0, "0");
    return grouped + "," + cents;
}

std::string padded(std::uint64_t value, std::size_t width) {
    std::string s = std::to_string(value);
    if (s.size() < width) s.insert(0, width - s.size(), '0');
    return s;
}

constexpr std::array<std::string_view, 24> SURNAMES = {
    "Иванов",  "Смирнов", "Кузнецов", "Попов",    "Васильев", "Петров",  "Соколов", "Михайлов",
    "Новиков", "Фёдоров", "Морозов",  "Волков",   "Алексеев", "Лебедев", "Семёнов", "Егоров",
    "Павлов",  "Козлов",  "Степанов", "Николаев", "Орлов",    "Андреев", "Макаров", "Жуков"};
constexpr std::array<std::string_view, 16> MALE_NAMES = {
    "Александр", "Дмитрий", "Максим", "Сергей", "Андрей", "Алексей", "Артём",   "Илья",
    "Кирилл",    "Михаил",  "Никита", "Матвей", "Роман",  "Егор",    "Арсений", "Иван"};
constexpr std::array<std::string_view, 16> FEMALE_NAMES = {
    "Анастасия", "Мария", "Анна",   "Виктория", "Екатерина", "Наталья", "Марина", "Полина",
    "Дарья",     "Алина", "Ксения", "Елена",    "Ольга",     "Татьяна", "Юлия",   "Софья"};
constexpr std::array<std::string_view, 12> PATRONYMIC_ROOTS = {"Александров", "Дмитриев",   "Сергеев",  "Андреев",
                                                               "Алексеев",    "Михайлов",   "Николаев", "Иванов",
                                                               "Петров",      "Владимиров", "Викторов", "Юрьев"};
constexpr std::array<std::string_view, 20> CITIES = {
    "г. Москва",    "г. Санкт-Петербург", "г. Новосибирск", "г. Екатеринбург",   "г. Казань", "г. Нижний Новгород",
    "г. Челябинск", "г. Самара",          "г. Омск",        "г. Ростов-на-Дону", "г. Уфа",    "г. Красноярск",
    "г. Воронеж",   "г. Пермь",           "г. Волгоград",   "г. Алматы",         "г. Астана", "г. Шымкент",
    "г. Қарағанды", "г. Өскемен"};
constexpr std::array<std::string_view, 20> STREETS = {
    "ул. Ленина",  "ул. Пушкина",    "пр-т Мира",       "ул. Гагарина",    "ул. Советская",
    "ул. Садовая", "ул. Молодёжная", "ул. Лесная",      "ул. Школьная",    "ул. Набережная",
    "пр-т Победы", "ул. Заводская",  "ул. Октябрьская", "ул. Центральная", "ул. Строителей",
    "пр. Абая",    "ул. Жібек жолы", "ул. Сәтпаев",     "пр. Құнаев",      "ул. Төле би"};
constexpr std::array<std::string_view, 12> SELLERS = {
    "ООО «Ромашка»",    "ИП Смирнова Е. А.",     "ООО «ТехноМир»",           "ООО «Домашний уют»",
    "ИП Ахметов Н. Қ.", "ООО «Детская планета»", "ООО «Спорт-Линия»",        "ИП Орлов Д. В.",
    "ТОО «Әсем Сауда»", "ООО «Северный ветер»",  "ООО «Красота и здоровье»", "ИП Жуков А. И."};
constexpr std::array<std::string_view, 6> CARRIERS = {
    "Служба доставки «Экспресс-Курьер»", "Логистический центр «Восток»", "Курьерская служба «Быстрая почта»",
    "Сортировочный центр «Подольск»",    "Пункт приёма «Центральный»",   "Сервис доставки «Жол Экспресс»"};
constexpr std::array<std::string_view, 30> PRODUCTS = {"Футболка хлопковая мужская, чёрная, размер L",
                                                       "Кроссовки беговые женские, 38 р.",
                                                       "Чехол для смартфона силиконовый прозрачный",
                                                       "Кружка керамическая 350 мл с рисунком",
                                                       "Набор кухонных полотенец, 3 шт.",
                                                       "Зарядное устройство USB-C 20 Вт",
                                                       "Детский конструктор «Город», 250 деталей",
                                                       "Крем для рук увлажняющий, 75 мл",
                                                       "Шампунь для всех типов волос, 400 мл",
                                                       "Наушники беспроводные с микрофоном",
                                                       "Рюкзак городской водоотталкивающий 20 л",
                                                       "Носки хлопковые, 5 пар, размер 41–43",
                                                       "Книга «Сказки народов мира»",
                                                       "Органайзер для хранения, пластик",
                                                       "Лампа настольная светодиодная",
                                                       "Плед флисовый 150×200 см",
                                                       "Гель для душа «Морской бриз», 250 мл",
                                                       "Коврик для йоги 183×61 см, 6 мм",
                                                       "Термос из нержавеющей стали 0,75 л",
                                                       "Пазл «Ночной город», 1000 элементов",
                                                       "Сковорода с антипригарным покрытием 26 см",
                                                       "Кабель HDMI 2.1, 2 м",
                                                       "Игрушка мягкая «Медвежонок», 30 см",
                                                       "Шапка вязаная зимняя",
                                                       "Перчатки рабочие х/б, 10 пар",
                                                       "Витамины для взрослых, 60 таблеток",
                                                       "Подушка ортопедическая 60×40 см",
                                                       "Тетрадь общая в клетку, 96 листов",
                                                       "Бутылка спортивная 700 мл",
                                                       "Ежедневник недатированный А5"};

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

std::string person(Rng& rng) {
    bool female = rng.below(2) == 0;
    std::string surname(rng.pick(SURNAMES));
    std::string first(female ? rng.pick(FEMALE_NAMES) : rng.pick(MALE_NAMES));
    std::string patronymic(rng.pick(PATRONYMIC_ROOTS));
    if (female) {
        surname += "а";
        patronymic += "на";
    } else {
        patronymic += "ич";
    }
    return surname + " " + first + " " + patronymic;
}

// "Орлов Д. В.": surname and initials, as under a signature.
std::string short_person(Rng& rng) {
    auto initial = [](std::string_view word) {
        icu::UnicodeString u;
        u.append(static_cast<UChar32>(to_utf32(word).front()));
        std::string out;
        u.toUTF8String(out);
        return out + ".";
    };
    return std::string(rng.pick(SURNAMES)) + " " + initial(rng.pick(MALE_NAMES)) + " " +
           initial(rng.pick(PATRONYMIC_ROOTS));
}

std::string address(Rng& rng) {
    std::string a = std::to_string(rng.between(100000, 699999)) + ", ";
    a += rng.pick(CITIES);
    a += ", ";
    a += rng.pick(STREETS);
    a += ", д. " + std::to_string(rng.between(1, 180));
    if (rng.below(3) == 0) a += ", корп. " + std::to_string(rng.between(1, 6));
    if (rng.below(4) != 0) a += ", кв. " + std::to_string(rng.between(1, 350));
    return a;
}

std::uint64_t order_id_for(std::uint64_t seed, std::uint64_t index) noexcept {
    // Multiplying by a number prime to 9e8 permutes the residues, so ids never collide.
    constexpr std::uint64_t range = 900'000'000;
    std::uint64_t base = splitmix64(seed) % range;
    return 100'000'000 + (base + (index % range) * 104'729) % range;
}

Content make_content(std::uint64_t seed, std::uint64_t index, std::size_t max_items) {
    Rng rng(splitmix64(seed ^ splitmix64(index + 1)));
    Content c;
    c.order_id = order_id_for(seed, index);
    c.posting = padded(c.order_id, 9) + padded(rng.between(1, 999), 3);
    c.date = padded(rng.between(1, 28), 2) + "." + padded(rng.between(1, 12), 2) + ".2024";
    c.carrier = rng.pick(CARRIERS);
    c.seller = rng.pick(SELLERS);
    c.seller_tax_id = std::to_string(rng.between(1000000000, 9999999999));
    c.seller_address = address(rng);
    c.storekeeper = short_person(rng);
    c.recipient = person(rng);
    c.phone = "+7 (9" + padded(rng.below(100), 2) + ") " + padded(rng.below(1000), 3) + "-" +
              padded(rng.below(100), 2) + "-" + padded(rng.below(100), 2);
    c.address = address(rng);
    c.pickup_point = "ПВЗ № " + std::to_string(rng.between(100, 9999)) + ", " + address(rng);
    std::size_t count = rng.between(1, max_items);
    for (std::size_t i = 0; i < count; ++i) {
        Item item;
        item.name = rng.pick(PRODUCTS);
        item.sku = "АРТ-" + padded(rng.below(10'000'000), 7);
        item.quantity = rng.below(4) == 0 ? rng.between(2, 5) : 1;
        item.price = rng.between(99, 24'999) * 100 + (rng.below(2) == 0 ? 0 : 90);
        c.items.push_back(std::move(item));
    }
    c.weight_grams = rng.between(80, 14'500);
    c.prepaid = rng.below(5) != 0;
    return c;
}

std::string file_name_for(const Content& c, std::uint64_t seed, std::uint64_t index) {
    switch (splitmix64(seed + index * 31 + 7) % 10) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
            return "Заказ_" + std::to_string(c.order_id) + ".pdf";
        case 6:
        case 7:
        case 8:
            return std::to_string(c.order_id) + ".pdf";
        default:
            return std::to_string(c.order_id) + "-0001-1.pdf";
    }
}

// ---------------------------------------------------------------------------
// Page drawing. Coordinates are points from the top-left corner, y down; the content
// stream is written in PDF space (y up). Text is kept as characters until the font
// subsets exist, because glyph ids are those of the subset.

enum FontId { REGULAR = 0, BOLD = 1 };

struct TextRun {
    FontId font;
    double size;
    double x;
    double y;  // PDF space baseline
    std::string text;
};

class Canvas {
public:
    Canvas(PageDims dims, const std::array<const FaceSource*, 2>& faces) : dims_(dims), faces_(faces) {}

    PageDims dims() const noexcept { return dims_; }

    double width(FontId font, double size, std::string_view s) const { return faces_[font]->width(s, size); }

    void text(double x, double baseline, FontId font, double size, std::string_view s) {
        if (s.empty()) return;
        for (char32_t c : to_utf32(s)) used_[font].insert(c);
        ops_.emplace_back(TextRun{font, size, x, dims_.height - baseline, std::string(s)});
    }
    void text_right(double right, double baseline, FontId font, double size, std::string_view s) {
        text(right - width(font, size, s), baseline, font, size, s);
    }
    void text_center(double center, double baseline, FontId font, double size, std::string_view s) {
        text(center - width(font, size, s) / 2, baseline, font, size, s);
    }

    // Splits `s` at blanks into lines no wider than `max_width`; a single word wider
    // than that stays on its own line.
    std::vector<std::string> wrap(FontId font, double size, std::string_view s, double max_width) const {
        std::vector<std::string> lines;
        std::string line;
        std::size_t pos = 0;
        while (pos < s.size()) {
            std::size_t end = s.find(' ', pos);
            if (end == std::string_view::npos) end = s.size();
            std::string_view word = s.substr(pos, end - pos);
            std::string candidate = line.empty() ? std::string(word) : line + " " + std::string(word);
            if (!line.empty() && width(font, size, candidate) > max_width) {
                lines.push_back(line);
                line = std::string(word);
            } else {
                line = candidate;
            }
            pos = end + 1;
        }
        if (!line.empty()) lines.push_back(line);
        return lines;
    }

    // Draws wrapped text from `top` (the first baseline is one size below) and returns
    // the y under the last line.
    double paragraph(double x, double top, FontId font, double size, std::string_view s, double max_width,
                     double leading = 1.25) {
        double y = top;
        for (const std::string& line : wrap(font, size, s, max_width)) {
            y += size * leading;
            text(x, y - size * 0.25, font, size, line);
        }
        return y;
    }

    void rect(double x, double y, double w, double h, double line_width) {
        raw(pdf::format_number(line_width, 2) + " w " + box(x, y, w, h) + " re S\n");
    }
    void fill(double x, double y, double w, double h, double gray) {
        raw(pdf::format_number(gray, 2) + " g " + box(x, y, w, h) + " re f 0 g\n");
    }
    void line(double x1, double y1, double x2, double y2, double line_width) {
        raw(pdf::format_number(line_width, 2) + " w " + pdf::format_number(x1, 2) + " " +
            pdf::format_number(dims_.height - y1, 2) + " m " + pdf::format_number(x2, 2) + " " +
            pdf::format_number(dims_.height - y2, 2) + " l S\n");
    }
    void dashed(double x1, double y, double x2) {
        raw("[2 2] 0 d ");
        line(x1, y, x2, y, 0.5);
        raw("[] 0 d\n");
    }
    void logo(double x, double y, double w, double h) {
        raw("q " + pdf::format_number(w, 2) + " 0 0 " + pdf::format_number(h, 2) + " " + pdf::format_number(x, 2) +
            " " + pdf::format_number(dims_.height - y - h, 2) + " cm /Im1 Do Q\n");
    }

    // Bars of a Code 128 symbol filling `w` x `h` at (x, y), one path for all bars.
    void barcode(double x, double y, double w, double h, const std::vector<int>& modules) {
        int total = 0;
        for (int m : modules) total += m;
        double unit = w / total;
        std::string path;
        double at = x;
        for (std::size_t i = 0; i < modules.size(); ++i) {
            double bar = modules[i] * unit;
            if (i % 2 == 0) path += box(at, y, bar, h) + " re\n";
            at += bar;
        }
        raw(path + "f\n");
    }

    const std::set<char32_t>& used(FontId font) const { return used_[font]; }

    // The content stream, glyph ids taken from the subset fonts (2-byte CIDs, Identity-H).
    std::string content(const std::array<const SubsetCmap*, 2>& cmaps) const {
        std::string out;
        for (const auto& op : ops_) {
            if (const auto* s = std::get_if<std::string>(&op)) {
                out += *s;
                continue;
            }
            const auto& run = std::get<TextRun>(op);
            out += "BT /F" + std::to_string(run.font + 1) + " " + pdf::format_number(run.size, 2) + " Tf " +
                   pdf::format_number(run.x, 2) + " " + pdf::format_number(run.y, 2) + " Td <";
            static constexpr char HEX[] = "0123456789ABCDEF";
            for (char32_t c : to_utf32(run.text)) {
                unsigned int gid = cmaps[run.font]->glyph(c);
                for (int shift = 12; shift >= 0; shift -= 4) out += HEX[(gid >> shift) & 0xF];
            }
            out += "> Tj ET\n";
        }
        return out;
    }

private:
    std::string box(double x, double y, double w, double h) const {
        return pdf::format_number(x, 2) + " " + pdf::format_number(dims_.height - y - h, 2) + " " +
               pdf::format_number(w, 2) + " " + pdf::format_number(h, 2);
    }
    void raw(std::string s) { ops_.emplace_back(std::move(s)); }

    PageDims dims_;
    std::array<const FaceSource*, 2> faces_;
    std::vector<std::variant<std::string, TextRun>> ops_;
    std::array<std::set<char32_t>, 2> used_;
};

std::string weight_text(std::uint64_t grams) {
    return pdf::format_number(static_cast<double>(grams) / 1000.0, 2).replace(grams >= 10'000 ? 2 : 1, 1, ",") + " кг";
}

std::uint64_t total_of(const Content& c) {
    std::uint64_t sum = 0;
    for (const Item& item : c.items) sum += item.quantity * item.price;
    return sum;
}

// Cuts `s` to fit `max_width`, ending in "…" when cut.
std::string fit(const Canvas& canvas, FontId font, double size, const std::string& s, double max_width) {
    if (canvas.width(font, size, s) <= max_width) return s;
    std::u32string chars = to_utf32(s);
    icu::UnicodeString u;
    for (char32_t ch : chars) {
        icu::UnicodeString next = u;
        next.append(static_cast<UChar32>(ch));
        std::string candidate;
        icu::UnicodeString(next).append(static_cast<UChar32>(U'…')).toUTF8String(candidate);
        if (canvas.width(font, size, candidate) > max_width) break;
        u = next;
    }
    std::string out;
    u.append(static_cast<UChar32>(U'…')).toUTF8String(out);
    return out;
}

// The label's item rows (number, name, quantity, sum) from `y`, as many as fit above
// `footer`, and a line saying how many more there are.
void label_items(Canvas& cv, const Content& c, double m, double y, double footer) {
    const double W = cv.dims().width;
    const double inner = W - 2 * m;
    const double col_qty = W - m - 62, col_sum = W - m - 4;
    cv.fill(m, y, inner, 11, 0.85);
    cv.text(m + 3, y + 8, BOLD, 6.5, "№");
    cv.text(m + 15, y + 8, BOLD, 6.5, "Товар");
    cv.text_right(col_qty, y + 8, BOLD, 6.5, "Кол.");
    cv.text_right(col_sum, y + 8, BOLD, 6.5, "Сумма, ₽");
    y += 11;
    std::size_t shown = 0;
    for (const Item& item : c.items) {
        if (y + 11 > footer) break;
        ++shown;
        cv.text(m + 3, y + 8, REGULAR, 6.5, std::to_string(shown));
        cv.text(m + 15, y + 8, REGULAR, 6.5, fit(cv, REGULAR, 6.5, item.name, col_qty - m - 40));
        cv.text_right(col_qty, y + 8, REGULAR, 6.5, std::to_string(item.quantity));
        cv.text_right(col_sum, y + 8, REGULAR, 6.5, money(item.quantity * item.price));
        cv.line(m, y + 11, W - m, y + 11, 0.3);
        y += 11;
    }
    if (shown < c.items.size()) {
        cv.text(m + 15, y + 8, REGULAR, 6.5, "… и ещё " + std::to_string(c.items.size() - shown) + " поз.");
    }
}

// 105 x 148 mm label: barcode at the top, recipient first, few items.
void draw_label(Canvas& cv, const Content& c) {
    const double W = cv.dims().width;
    const double m = 5 * MM;
    const double inner = W - 2 * m;

    cv.logo(m, m, 28 * MM, 11 * MM);
    cv.text_right(W - m, m + 9, BOLD, 7.5, fit(cv, BOLD, 7.5, c.carrier, inner - 30 * MM));
    cv.text_right(W - m, m + 20, REGULAR, 7, "Дата отгрузки: " + c.date);
    cv.text_right(W - m, m + 29, REGULAR, 7, "Вес: " + weight_text(c.weight_grams) + "   Мест: 1/1");
    cv.line(m, m + 12 * MM + 2, W - m, m + 12 * MM + 2, 1.0);

    double y = m + 12 * MM + 8;
    cv.barcode(m + 4, y, inner - 8, 16 * MM, code128c_modules(c.posting));
    y += 16 * MM + 10;
    cv.text_center(W / 2, y, REGULAR, 8, c.posting);
    y += 16;
    cv.text(m, y, BOLD, 13, "Заказ № " + std::to_string(c.order_id));
    cv.text_right(W - m, y, BOLD, 13, c.prepaid ? "ОПЛАЧЕН" : "НП");
    y += 6;

    const double box_top = y;
    y = cv.paragraph(m + 4, y, BOLD, 6.5, "ПОЛУЧАТЕЛЬ", inner - 8);
    y = cv.paragraph(m + 4, y, BOLD, 9, c.recipient, inner - 8);
    y = cv.paragraph(m + 4, y, REGULAR, 8, "Тел.: " + c.phone, inner - 8);
    y = cv.paragraph(m + 4, y, REGULAR, 7.5, c.pickup_point, inner - 8) + 3;
    cv.rect(m, box_top, inner, y - box_top, 0.8);

    const double seller_top = y + 3;
    y = cv.paragraph(m + 4, seller_top, BOLD, 6.5, "ОТПРАВИТЕЛЬ", inner - 8);
    y = cv.paragraph(m + 4, y, REGULAR, 7, c.seller + ", ИНН " + c.seller_tax_id, inner - 8);
    y = cv.paragraph(m + 4, y, REGULAR, 6.5, c.seller_address, inner - 8) + 3;
    cv.rect(m, seller_top, inner, y - seller_top, 0.5);

    // Items: number, name, quantity, sum; as many rows as fit above the footer.
    const double footer = cv.dims().height - m - 30;
    label_items(cv, c, m, y + 5, footer);
    cv.line(m, footer, W - m, footer, 1.0);
    cv.text(m, footer + 11, BOLD, 8,
            c.prepaid ? "Итого: " + money(total_of(c)) + " ₽ (оплачено)"
                      : "К оплате: " + money(total_of(c)) + " ₽");
    cv.text(m, footer + 22, REGULAR, 6, "Вскрыть при получении. Претензии по комплектности принимаются при курьере.");
}

// The A4 note's heading: logo, barcode, title and date; returns the baseline below it.
double sheet_heading(Canvas& cv, const Content& c, double m) {
    const double W = cv.dims().width;
    cv.logo(m, m, 36 * MM, 14 * MM);
    cv.barcode(W - m - 62 * MM, m, 62 * MM, 12 * MM, code128c_modules(c.posting));
    cv.text_center(W - m - 31 * MM, m + 12 * MM + 9, REGULAR, 8, c.posting);
    double y = m + 14 * MM + 24;
    cv.text(m, y, BOLD, 15, "ТОВАРНАЯ НАКЛАДНАЯ № " + std::to_string(c.order_id));
    y += 16;
    cv.text(m, y, REGULAR, 9, "от " + c.date + " г.   Отправление " + c.posting);
    return y + 10;
}

// The parties, one boxed row each, from `y`; returns the bottom of the last row.
double sheet_parties(Canvas& cv, const Content& c, double m, double y) {
    const double inner = cv.dims().width - 2 * m;
    const std::array<std::pair<std::string, std::string>, 5> parties = {{
        {"Поставщик", c.seller + ", ИНН " + c.seller_tax_id + ", " + c.seller_address},
        {"Грузоотправитель", c.seller + ", " + c.seller_address},
        {"Перевозчик", c.carrier},
        {"Грузополучатель", c.recipient + ", тел. " + c.phone + ", " + c.address},
        {"Пункт выдачи", c.pickup_point},
    }};
    const double label_w = 34 * MM;
    for (const auto& [label, value] : parties) {
        const double top = y;
        double bottom = cv.paragraph(m + label_w + 4, top + 2, REGULAR, 8.5, value, inner - label_w - 8) + 4;
        cv.text(m + 3, top + 12, BOLD, 8.5, label);
        cv.rect(m, top, label_w, bottom - top, 0.5);
        cv.rect(m + label_w, top, inner - label_w, bottom - top, 0.5);
        y = bottom;
    }
    return y;
}

// The full item table from `y`; returns its bottom.
double sheet_items(Canvas& cv, const Content& c, double m, double y) {
    const double W = cv.dims().width;
    const double inner = W - 2 * m;
    struct Column {
        const char* title;
        double width;
        bool right;
    };
    const std::array<Column, 7> cols = {{{"№", 18, false},
                                         {"Наименование товара", 0, false},
                                         {"Артикул", 62, false},
                                         {"Ед.", 26, false},
                                         {"Кол-во", 36, true},
                                         {"Цена, ₽", 58, true},
                                         {"Сумма, ₽", 64, true}}};
    double fixed_w = 0;
    for (const Column& col : cols) fixed_w += col.width;
    std::array<double, 8> edge{};
    edge[0] = m;
    for (std::size_t i = 0; i < cols.size(); ++i)
        edge[i + 1] = edge[i] + (cols[i].width > 0 ? cols[i].width : inner - fixed_w);

    const double row_h = 15;
    const double table_top = y;
    cv.fill(m, y, inner, row_h + 2, 0.85);
    for (std::size_t i = 0; i < cols.size(); ++i) {
        if (cols[i].right)
            cv.text_right(edge[i + 1] - 3, y + 11, BOLD, 8, cols[i].title);
        else
            cv.text(edge[i] + 3, y + 11, BOLD, 8, cols[i].title);
    }
    y += row_h + 2;
    std::size_t n = 0;
    for (const Item& item : c.items) {
        ++n;
        const double b = y + 10.5;
        cv.text(edge[0] + 3, b, REGULAR, 8, std::to_string(n));
        cv.text(edge[1] + 3, b, REGULAR, 8, fit(cv, REGULAR, 8, item.name, edge[2] - edge[1] - 6));
        cv.text(edge[2] + 3, b, REGULAR, 8, item.sku);
        cv.text(edge[3] + 3, b, REGULAR, 8, "шт");
        cv.text_right(edge[5] - 3, b, REGULAR, 8, std::to_string(item.quantity));
        cv.text_right(edge[6] - 3, b, REGULAR, 8, money(item.price));
        cv.text_right(edge[7] - 3, b, REGULAR, 8, money(item.price * item.quantity));
        y += row_h;
        cv.line(m, y, W - m, y, 0.3);
    }
    cv.rect(m, table_top, inner, y - table_top, 0.8);
    for (std::size_t i = 1; i < cols.size(); ++i) cv.line(edge[i], table_top, edge[i], y, 0.3);
    return y;
}

// Totals below the table, then the signatures and the footer at the page's foot.
void sheet_totals_and_signatures(Canvas& cv, const Content& c, double m, double y) {
    const double W = cv.dims().width;
    const double H = cv.dims().height;
    const std::uint64_t total = total_of(c);
    y += 16;
    cv.text_right(W - m - 3, y, BOLD, 10, "Итого: " + money(total) + " ₽");
    y += 14;
    cv.text_right(W - m - 3, y, REGULAR, 9, "В том числе НДС (20 %): " + money(total / 6) + " ₽");
    y += 20;
    cv.paragraph(m, y, REGULAR, 9,
                 "Всего наименований " + std::to_string(c.items.size()) + ", на сумму " + money(total) +
                     " руб. Масса груза брутто " + weight_text(c.weight_grams) + ". " +
                     (c.prepaid ? "Заказ оплачен покупателем на сайте." : "Оплата при получении."),
                 W - 2 * m);

    const double sig = H - m - 70;
    cv.text(m, sig, REGULAR, 9, "Отпуск груза разрешил");
    cv.dashed(m + 110, sig + 2, m + 230);
    cv.text(m + 235, sig, REGULAR, 9, "/ " + c.storekeeper + " /");
    cv.text(m, sig + 26, REGULAR, 9, "Груз принял");
    cv.dashed(m + 110, sig + 28, m + 230);
    cv.text(m + 235, sig + 26, REGULAR, 9, "/ " + c.recipient + " /");
    cv.text_right(W - m, sig + 26, REGULAR, 9, "М. П.");
    cv.line(m, H - m - 14, W - m, H - m - 14, 0.5);
    cv.text(m, H - m - 4, REGULAR, 6.5,
            "Документ сформирован автоматически. Заказ № " + std::to_string(c.order_id) + ". Страница 1 из 1.");
}

// A4 consignment note: header, parties, full item table, totals and signatures.
void draw_sheet(Canvas& cv, const Content& c) {
    const double m = 15 * MM;
    const double below_parties = sheet_parties(cv, c, m, sheet_heading(cv, c, m));
    sheet_totals_and_signatures(cv, c, m, sheet_items(cv, c, m, below_parties + 14));
}

// The logo: a 160 x 64 RGB badge with a gradient, a circle and fine grain. Made from
// fixed numbers so its image stream is byte-identical in every file of every set.
pdf::Image make_logo() {
    constexpr int w = 160, h = 64;
    pdf::Pixmap pix(
        pdf::mupdf_call([](fz_context* c) noexcept { return fz_new_pixmap(c, fz_device_rgb(c), w, h, nullptr, 0); }));
    fz_context* ctx = pdf::mupdf_context();
    unsigned char* px = fz_pixmap_samples(ctx, pix.get());
    const int stride = fz_pixmap_stride(ctx, pix.get());
    std::uint32_t grain = 12345;
    for (int yy = 0; yy < h; ++yy) {
        for (int xx = 0; xx < w; ++xx) {
            grain = grain * 1103515245u + 12345u;
            const int noise = static_cast<int>((grain >> 16) % 9) - 4;
            const double dx = xx - 32.0, dy = yy - 32.0;
            const bool disc = dx * dx + dy * dy < 26.0 * 26.0;
            const bool stripe = xx > 66 && (yy / 8) % 2 == 0 && xx < 66 + (yy + 40) * 1.4;
            int r = 30 + xx / 2, g = 60 + yy, b = 160 + xx / 3;
            if (disc) r = 240 - yy, g = 120 + yy / 2, b = 30;
            if (stripe) r = g = b = 245;
            unsigned char* p = px + yy * stride + xx * 3;
            p[0] = static_cast<unsigned char>(std::clamp(r + noise, 0, 255));
            p[1] = static_cast<unsigned char>(std::clamp(g + noise, 0, 255));
            p[2] = static_cast<unsigned char>(std::clamp(b + noise, 0, 255));
        }
    }
    return pdf::Image(
        pdf::mupdf_call([&](fz_context* c) noexcept { return fz_new_image_from_pixmap(c, pix.get(), nullptr); }));
}

// Subset tag of six capital letters, as PDF producers put before a subset font's name.
std::string subset_tag(Rng& rng) {
    std::string tag;
    for (int i = 0; i < 6; ++i) tag += static_cast<char>('A' + rng.below(26));
    return tag;
}

// Gives the Type0 font, its CIDFont and its descriptor the subset name.
void rename_font(pdf_obj* font, const std::string& name) {
    const char* n = name.c_str();
    pdf::mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put_name(c, font, PDF_NAME(BaseFont), n);
        pdf_obj* cid = pdf_array_get(c, pdf_dict_get(c, font, PDF_NAME(DescendantFonts)), 0);
        if (cid) {
            pdf_dict_put_name(c, cid, PDF_NAME(BaseFont), n);
            pdf_obj* desc = pdf_dict_get(c, cid, PDF_NAME(FontDescriptor));
            if (desc) pdf_dict_put_name(c, desc, PDF_NAME(FontName), n);
        }
    });
}

}  // namespace

PageDims page_dims(PageSize size) noexcept {
    if (size == PageSize::a4) return {595.28, 841.89};
    return {105 * MM, 148 * MM};
}

PageSize page_size_for(std::uint64_t index, unsigned a4_every) noexcept {
    if (a4_every == 0) return PageSize::a6;
    return (index + 1) % a4_every == 0 ? PageSize::a4 : PageSize::a6;
}

std::vector<int> code128c_modules(const std::string& digits) {
    // Bar/space widths of symbols 0..105; the stop symbol has seven elements.
    static constexpr std::array<std::string_view, 106> PATTERNS = {
        "212222", "222122", "222221", "121223", "121322", "131222", "122213", "122312", "132212", "221213", "221312",
        "231212", "112232", "122132", "122231", "113222", "123122", "123221", "223211", "221132", "221231", "213212",
        "223112", "312131", "311222", "321122", "321221", "312212", "322112", "322211", "212123", "212321", "232121",
        "111323", "131123", "131321", "112313", "132113", "132311", "211313", "231113", "231311", "112133", "112331",
        "132131", "113123", "113321", "133121", "313121", "211331", "231131", "213113", "213311", "213131", "311123",
        "311321", "331121", "312113", "312311", "332111", "314111", "221411", "431111", "111224", "111422", "121124",
        "121421", "141122", "141221", "112214", "112412", "122114", "122411", "142112", "142211", "241211", "221114",
        "413111", "241112", "134111", "111242", "121142", "121241", "114212", "124112", "124211", "411212", "421112",
        "421211", "212141", "214121", "412121", "111143", "111341", "131141", "114113", "114311", "411113", "411311",
        "113141", "114131", "311141", "411131", "211412", "211214", "211232"};
    constexpr std::string_view STOP = "2331112";
    constexpr int START_C = 105;

    if (digits.empty()) throw diag::InvalidValue("barcode value is empty");
    for (char d : digits)
        if (d < '0' || d > '9') throw diag::InvalidValue("barcode value must be digits: " + digits);
    const std::string even = digits.size() % 2 == 0 ? digits : "0" + digits;

    std::vector<int> symbols{START_C};
    for (std::size_t i = 0; i < even.size(); i += 2) symbols.push_back((even[i] - '0') * 10 + (even[i + 1] - '0'));
    int check = START_C;
    for (std::size_t i = 1; i < symbols.size(); ++i) check += static_cast<int>(i) * symbols[i];
    symbols.push_back(check % 103);

    std::vector<int> modules;
    for (int s : symbols)
        for (char w : PATTERNS[static_cast<std::size_t>(s)]) modules.push_back(w - '0');
    for (char w : STOP) modules.push_back(w - '0');
    return modules;
}

struct WaybillFactory::Impl {
    std::unique_ptr<FaceSource> regular;
    std::unique_ptr<FaceSource> bold;
    pdf::Image logo;
};

WaybillFactory::WaybillFactory(const std::filesystem::path& font_dir) : impl_(std::make_unique<Impl>()) {
    impl_->regular = std::make_unique<FaceSource>(font_dir / "DejaVuSans.ttf", "DejaVuSans");
    impl_->bold = std::make_unique<FaceSource>(font_dir / "DejaVuSans-Bold.ttf", "DejaVuSans-Bold");
    impl_->logo = make_logo();
}

WaybillFactory::~WaybillFactory() = default;

namespace {

// The content cut at line ends into `parts` pieces of about equal size (fewer when the
// content has fewer lines); every piece ends after a complete operator.
std::vector<std::string> split_content(const std::string& content, int parts) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (int i = 1; i < parts && start < content.size(); ++i) {
        const std::size_t want = content.size() * static_cast<std::size_t>(i) / static_cast<std::size_t>(parts);
        const std::size_t cut = content.find('\n', std::max(want, start));
        if (cut == std::string::npos || cut + 1 >= content.size()) break;
        pieces.push_back(content.substr(start, cut + 1 - start));
        start = cut + 1;
    }
    pieces.push_back(content.substr(start));
    return pieces;
}

pdf::Buffer buffer_of(const std::string& bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t length = bytes.size();
    return pdf::Buffer(
        pdf::mupdf_call([&](fz_context* c) noexcept { return fz_new_buffer_from_copied_data(c, data, length); }));
}

// A dictionary entry `key` of `dict` holding a new, empty dictionary; returns it borrowed.
pdf_obj* put_dict(pdf_obj* dict, pdf_obj* key, int size) {
    return pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_dict_put_dict(c, dict, key, size); });
}

// The fonts as /F1, /F2 of `font_dict`: each a CID font made from its subset file and
// named with its subset tag.
void add_fonts(pdf::Document& doc, pdf_obj* font_dict,
               const std::array<std::pair<const std::string*, std::string>, 2>& fonts) {
    for (std::size_t i = 0; i < fonts.size(); ++i) {
        const char* name = fonts[i].second.c_str();
        pdf::Buffer buf = buffer_of(*fonts[i].first);
        pdf::Font font(
            pdf::mupdf_call([&](fz_context* c) noexcept { return fz_new_font_from_buffer(c, name, buf.get(), 0, 0); }));
        pdf::Object ref(
            pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_add_cid_font(c, doc.get(), font.get()); }));
        rename_font(ref.get(), fonts[i].second);
        const std::string key = "F" + std::to_string(i + 1);
        const char* k = key.c_str();
        pdf::mupdf_call([&](fz_context* c) noexcept { pdf_dict_puts(c, font_dict, k, ref.get()); });
    }
}

// The half-transparent state /GS1 the "paid" stamp is drawn with.
void add_stamp_state(pdf::Document& doc, pdf_obj* resources) {
    pdf_obj* states = put_dict(resources, PDF_NAME(ExtGState), 1);
    pdf::Object gs(pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_new_dict(c, doc.get(), 2); }));
    pdf::mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put_real(c, gs.get(), PDF_NAME(ca), 0.5);
        pdf_dict_put_real(c, gs.get(), PDF_NAME(CA), 0.5);
        pdf_dict_puts(c, states, "GS1", gs.get());
    });
}

// The page's content as an array of streams, one per piece.
void add_content_pieces(pdf::Document& doc, pdf_obj* page, const std::vector<std::string>& pieces) {
    pdf_obj* parts = pdf::mupdf_call([&](fz_context* c) noexcept {
        return pdf_dict_put_array(c, page, PDF_NAME(Contents), static_cast<int>(pieces.size()));
    });
    for (const std::string& piece : pieces) {
        pdf::Buffer bytes = buffer_of(piece);
        pdf::Object part(pdf::mupdf_call(
            [&](fz_context* c) noexcept { return pdf_add_stream(c, doc.get(), bytes.get(), nullptr, 0); }));
        pdf::mupdf_call([&](fz_context* c) noexcept { pdf_array_push(c, parts, part.get()); });
    }
}

// A page transparency group, as pages with half-transparent stamps carry.
void add_transparency_group(pdf_obj* page) {
    pdf_obj* group = put_dict(page, PDF_NAME(Group), 3);
    pdf::mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put(c, group, PDF_NAME(Type), PDF_NAME(Group));
        pdf_dict_put(c, group, PDF_NAME(S), PDF_NAME(Transparency));
        pdf_dict_put(c, group, PDF_NAME(CS), PDF_NAME(DeviceRGB));
    });
}

// The document's bytes, compressed and without unused objects.
std::string saved(pdf::Document& doc) {
    pdf::Buffer out(pdf::mupdf_call([](fz_context* c) noexcept { return fz_new_buffer(c, 64 * 1024); }));
    pdf::Output sink(pdf::mupdf_call([&](fz_context* c) noexcept { return fz_new_output_with_buffer(c, out.get()); }));
    pdf::mupdf_call([&](fz_context* c) noexcept {
        pdf_write_options opts = pdf_default_write_options;
        opts.do_compress = 1;
        opts.do_compress_images = 1;
        opts.do_compress_fonts = 1;
        opts.do_garbage = 1;
        pdf_write_document(c, doc.get(), sink.get(), &opts);
        fz_close_output(c, sink.get());
    });
    return std::string(pdf::bytes_of(out));
}

}  // namespace

Waybill WaybillFactory::make(std::uint64_t seed, std::uint64_t index, PageSize size, const WaybillOptions& options) {
    const Content content = make_content(seed, index, size == PageSize::a4 ? 22 : 4);
    Canvas canvas(page_dims(size), {impl_->regular.get(), impl_->bold.get()});
    if (size == PageSize::a4)
        draw_sheet(canvas, content);
    else
        draw_label(canvas, content);

    // Per-file subsets: only the characters this waybill prints.
    const std::string regular_file = impl_->regular->subset(canvas.used(REGULAR));
    const std::string bold_file = impl_->bold->subset(canvas.used(BOLD));
    const SubsetCmap regular_cmap(regular_file), bold_cmap(bold_file);
    std::string stream = canvas.content({&regular_cmap, &bold_cmap});
    const PageDims dims = page_dims(size);
    if (options.transparency) {
        // A half-transparent red "paid" stamp across the upper right, as payment systems
        // put on waybills: drawn through an ExtGState, under a page transparency group.
        const double w = dims.width * 0.3, h = dims.height * 0.08;
        const double x = dims.width * 0.62, y = dims.height * 0.78;
        stream += "q /GS1 gs 0.85 0.1 0.1 rg " + pdf::format_number(x, 2) + " " + pdf::format_number(y, 2) + " " +
                  pdf::format_number(w, 2) + " " + pdf::format_number(h, 2) + " re f Q\n";
    }
    Rng tags(splitmix64(seed * 3 + index));
    const std::array<std::pair<const std::string*, std::string>, 2> fonts = {{
        {&regular_file, subset_tag(tags) + "+" + impl_->regular->name()},
        {&bold_file, subset_tag(tags) + "+" + impl_->bold->name()},
    }};

    pdf::Document doc = pdf::create_pdf();
    pdf::Object resources(pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_new_dict(c, doc.get(), 3); }));
    pdf_obj* font_dict = put_dict(resources.get(), PDF_NAME(Font), 2);
    pdf_obj* xobject_dict = put_dict(resources.get(), PDF_NAME(XObject), 1);
    if (options.transparency) add_stamp_state(doc, resources.get());

    add_fonts(doc, font_dict, fonts);

    pdf::Object image(
        pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_add_image(c, doc.get(), impl_->logo.get()); }));
    pdf::mupdf_call([&](fz_context* c) noexcept { pdf_dict_puts(c, xobject_dict, "Im1", image.get()); });

    const std::vector<std::string> pieces = split_content(stream, std::max(1, options.content_streams));
    pdf::Buffer contents = buffer_of(pieces.size() == 1 ? stream : std::string());
    const fz_rect media = fz_make_rect(0, 0, static_cast<float>(dims.width), static_cast<float>(dims.height));
    pdf::Object page(pdf::mupdf_call(
        [&](fz_context* c) noexcept { return pdf_add_page(c, doc.get(), media, 0, resources.get(), contents.get()); }));
    if (pieces.size() > 1) add_content_pieces(doc, page.get(), pieces);
    if (options.transparency) add_transparency_group(page.get());
    pdf::mupdf_call([&](fz_context* c) noexcept { pdf_insert_page(c, doc.get(), -1, page.get()); });
    return Waybill{file_name_for(content, seed, index), saved(doc)};
}

void write_zip(const std::filesystem::path& archive, const std::vector<std::filesystem::path>& files) {
    // libzip reads the inputs only when the archive is closed, and then does not say
    // which one failed: check them first.
    for (const auto& file : files)
        if (!std::filesystem::is_regular_file(file)) throw diag::FileNotFound("file not found: " + file.string());
    int code = 0;
    zip_t* za = zip_open(archive.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (za == nullptr) {
        zip_error_t error;
        zip_error_init_with_code(&error, code);
        std::string message = "cannot create " + archive.string() + ": " + zip_error_strerror(&error);
        zip_error_fini(&error);
        throw diag::RuntimeError(message);
    }
    auto fail = [&](const std::string& what) {
        std::string message = what + ": " + zip_strerror(za);
        zip_discard(za);
        throw diag::RuntimeError(message);
    };
    // 12 March 2024, 09:30 local time: a fixed stamp keeps archives reproducible.
    std::tm stamp{};
    stamp.tm_year = 124;
    stamp.tm_mon = 2;
    stamp.tm_mday = 12;
    stamp.tm_hour = 9;
    stamp.tm_min = 30;
    stamp.tm_isdst = -1;
    const std::time_t mtime = std::mktime(&stamp);
    for (const auto& file : files) {
        zip_source_t* src = zip_source_file(za, file.c_str(), 0, -1);
        if (src == nullptr) fail("cannot read " + file.string());
        const std::string name = file.filename().string();
        const zip_int64_t idx = zip_file_add(za, name.c_str(), src, ZIP_FL_ENC_UTF_8);
        if (idx < 0) {
            zip_source_free(src);
            fail("cannot add " + name);
        }
        const auto at = static_cast<zip_uint64_t>(idx);
        if (zip_set_file_compression(za, at, ZIP_CM_DEFLATE, 0) < 0 || zip_file_set_mtime(za, at, mtime, 0) < 0)
            fail("cannot set up " + name);
    }
    if (zip_close(za) < 0) fail("cannot write " + archive.string());
}

}  // namespace workload
