#include "workload/content.hpp"

#include <unicode/unistr.h>

#include "workload/fonts.hpp"

namespace workload::detail {
namespace {

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

}  // namespace

std::uint64_t splitmix64(std::uint64_t x) noexcept {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::string money(std::uint64_t kopecks) {
    std::string whole = std::to_string(kopecks / 100);
    std::string grouped;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0) grouped += ' ';
        grouped += whole[i];
    }
    std::string cents = std::to_string(kopecks % 100);
    // A character, not a string: GCC 12 at -O3 takes the string form for an overlapping copy.
    if (cents.size() < 2) cents.insert(0, 1, '0');
    return grouped + "," + cents;
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

}  // namespace workload::detail
