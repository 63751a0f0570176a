#include "workload/pages.hpp"

#include <unicode/unistr.h>

#include <array>
#include <string>
#include <utility>

#include "diag/errors.hpp"
#include "pdf/geometry.hpp"

namespace workload {

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

namespace detail {
namespace {

std::string weight_text(std::uint64_t grams) {
    // The comma as a character: GCC 12 at -O3 takes the string form for an overlapping copy.
    return pdf::format_number(static_cast<double>(grams) / 1000.0, 2).replace(grams >= 10'000 ? 2 : 1, 1, 1, ',') +
           " кг";
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

}  // namespace

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

// A4 consignment note: header, parties, full item table, totals and signatures.
void draw_sheet(Canvas& cv, const Content& c) {
    const double m = 15 * MM;
    const double below_parties = sheet_parties(cv, c, m, sheet_heading(cv, c, m));
    sheet_totals_and_signatures(cv, c, m, sheet_items(cv, c, m, below_parties + 14));
}

}  // namespace detail
}  // namespace workload
