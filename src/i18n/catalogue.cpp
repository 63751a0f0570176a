#include "i18n/catalogue.hpp"

#include <algorithm>

#include "diag/errors.hpp"
#include "platform/platform.hpp"

namespace i18n {

namespace {

// One catalogue entry in both languages. Keeping both texts in one row means a key
// cannot end up in only one of the tables.
struct Row {
    std::string_view key;
    std::string_view ru;
    std::string_view kk;
};

// "\n" in a text is a line break.
constexpr Row ROWS[] = {
    {"choose_language",
     "Выберите язык",
     "Тілді таңдаңыз"},
    {"language_ru",
     "Русский",
     "Русский"},
    {"language_kk",
     "Қазақша",
     "Қазақша"},
    {"change_language",
     "Сменить язык",
     "Тілді ауыстыру"},
    {"language_saved",
     "Язык сохранён.",
     "Тіл сақталды."},
    {"menu_root",
     "{app} — объединить накладные",
     "{app} — жүкқұжаттарды біріктіру"},
    {"menu_help",
     "Инструкция {app}",
     "{app} нұсқаулығы"},
    {"menu_installed",
     "Меню установлено.\n\nПункт «{item}» добавлен в меню правой кнопки для ZIP-архивов.\n\nОткрыть инструкцию по использованию?",
     "Мәзір орнатылды.\n\n«{item}» тармағы ZIP-мұрағаттар үшін тінтуірдің оң жақ түймесі мәзіріне қосылды.\n\nПайдалану нұсқаулығын ашу керек пе?"},
    {"menu_install_failed",
     "Не удалось добавить пункт в меню правой кнопки:\n\n{error}",
     "Тінтуір мәзіріне қосу мүмкін болмады:\n\n{error}"},
    {"menu_removed",
     "Меню удалено.\n\nПункт «{item}» убран из меню правой кнопки.",
     "Мәзір жойылды.\n\n«{item}» тармағы тінтуір мәзірінен алынды."},
    {"menu_remove_failed",
     "Не удалось убрать пункт из меню правой кнопки:\n\n{error}",
     "Тінтуір мәзірінен алу мүмкін болмады:\n\n{error}"},
    {"mode_1up",
     "1 на лист (обычно)",
     "Параққа 1 (әдеттегі)"},
    {"mode_4up",
     "4 на лист (2x2)",
     "Параққа 4 (2x2)"},
    {"mode_6up",
     "6 на лист (2x3)",
     "Параққа 6 (2x3)"},
    {"mode_9up",
     "9 на лист (3x3)",
     "Параққа 9 (3x3)"},
    {"choose_mode",
     "Выберите режим объединения:",
     "Біріктіру режимін таңдаңыз:"},
    {"merging_title",
     "Объединение PDF",
     "PDF біріктіру"},
    {"merging_hint",
     "Пожалуйста, подождите.\nПрограмма объединяет выбранные PDF-файлы.",
     "Күте тұрыңыз.\nБағдарлама таңдалған PDF файлдарын біріктіруде."},
    {"done_title",
     "PDF успешно объединён",
     "PDF сәтті біріктірілді"},
    {"done_hint",
     "Готовые PDF-файлы созданы.\nОткройте нужный файл, проверьте страницы и отправьте его на печать.",
     "Дайын PDF файлдары жасалды.\nҚажет файлды ашып, беттерін тексеріп, басып шығаруға жіберіңіз."},
    {"detail_version",
     "Версия программы: {version}",
     "Бағдарлама нұсқасы: {version}"},
    {"detail_file_all",
     "Файл со всеми: {path}",
     "Барлығы бар файл: {path}"},
    {"detail_file_new",
     "Файл с новыми: {path}",
     "Жаңалары бар файл: {path}"},
    {"detail_no_new_file",
     "новых накладных нет",
     "жаңа жүкқұжат жоқ"},
    {"detail_mode",
     "Режим: {mode}",
     "Режимі: {mode}"},
    {"detail_new_count",
     "Новых накладных: {count}",
     "Жаңа жүкқұжаттар: {count}"},
    {"detail_pages",
     "Исходных страниц: {count}",
     "Бастапқы беттер: {count}"},
    {"detail_sheets_all",
     "Итоговых листов со всеми: {count}",
     "Барлығымен шыққан парақтар: {count}"},
    {"detail_sheets_new",
     "Итоговых листов с новыми: {count}",
     "Жаңаларымен шыққан парақтар: {count}"},
    {"files_taken",
     "Взято файлов из архива: {count}",
     "Мұрағаттан алынған файлдар: {count}"},
    {"btn_open_all",
     "Открыть все",
     "Барлығын ашу"},
    {"btn_open_new",
     "Открыть новые",
     "Жаңаларын ашу"},
    {"btn_open_folder",
     "Папка с PDF",
     "PDF қалтасы"},
    {"btn_close",
     "Закрыть",
     "Жабу"},
    {"open_help",
     "Инструкция",
     "Нұсқаулық"},
    {"old_sheets_none",
     "Старых листов нет.",
     "Ескі парақтар жоқ."},
    {"old_sheets_confirm",
     "Удалить готовые листы старше трёх суток?\n\n{names}\n\nИсходные архивы и история накладных не пострадают.",
     "Үш тәуліктен ескі дайын парақтарды жою керек пе?\n\n{names}\n\nБастапқы мұрағаттар мен жүкқұжат тарихы зардап шекпейді."},
    {"old_sheets_and_more",
     "и ещё {count}",
     "және тағы {count}"},
    {"clean_old_sheets",
     "Удалить PDF старше 3 дней",
     "3 күннен ескі PDF-ті жою"},
    {"error_pdf_failed",
     "Ошибка при создании PDF.",
     "PDF жасау кезінде қате шықты."},
    {"error_log_saved",
     "Файл ошибки сохранён:",
     "Қате файлы сақталды:"},
    {"error_send_log",
     "Пришлите файл error.log в Telegram: {url}",
     "error.log файлын Telegram-ға жіберіңіз: {url}"},
    {"error_open_log_folder",
     "Открыть папку с логом",
     "Журнал қалтасын ашу"},
    {"exe_not_found",
     "Файл {name}.exe не найден.\n\nПапка:\n{folder}",
     "{name}.exe файлы табылмады.\n\nҚалта:\n{folder}"},
    {"zip_not_found",
     "ZIP-файл не найден:\n{path}",
     "ZIP файлы табылмады:\n{path}"},
    {"choose_zip",
     "Выберите ZIP-архив с накладными",
     "Жүкқұжаттары бар ZIP-мұрағатты таңдаңыз"},
    // Said on standard error when the toolkit cannot open a window (no display).
    {"no_window",
     "Не удаётся открыть окно: графический экран недоступен.",
     "Терезені ашу мүмкін емес: графикалық экран қолжетімсіз."},
};

Table make_table(std::string_view Row::*text) {
    Table table;
    for (const Row& row : ROWS) table.emplace(row.key, row.*text);
    return table;
}

// Replaces every "{name}" of `tmpl` by the value given under `name`.
std::string fill(std::string_view key, std::string_view tmpl, std::initializer_list<Arg> values) {
    std::string out;
    out.reserve(tmpl.size());
    while (!tmpl.empty()) {
        std::size_t open = tmpl.find('{');
        std::size_t close = open == std::string_view::npos ? open : tmpl.find('}', open);
        if (close == std::string_view::npos) break;  // no further placeholder
        out.append(tmpl.substr(0, open));
        std::string_view name = tmpl.substr(open + 1, close - open - 1);
        auto it = std::find_if(values.begin(), values.end(),
                               [name](const Arg& a) { return a.first == name; });
        if (it == values.end())
            throw diag::RuntimeError("no value for placeholder {" + std::string(name) +
                                     "} of text \"" + std::string(key) + "\"");
        out.append(it->second.text());
        tmpl.remove_prefix(close + 1);
    }
    out.append(tmpl);
    return out;
}

std::string_view lookup(std::string_view key, std::string_view lang) {
    const auto& texts = TEXTS();
    auto table = texts.find(lang);
    // Russian is the fallback for any code that is not in the catalogue.
    const Table& chosen = table != texts.end() ? *table->second : RU();
    auto text = chosen.find(key);
    if (text == chosen.end())
        throw diag::RuntimeError("no text with key \"" + std::string(key) + "\" in the catalogue");
    return text->second;
}

}  // namespace

bool is_language(std::string_view code) noexcept {
    return std::find(LANGUAGES.begin(), LANGUAGES.end(), code) != LANGUAGES.end();
}

const Table& RU() {
    static const Table table = make_table(&Row::ru);
    return table;
}

const Table& KK() {
    static const Table table = make_table(&Row::kk);
    return table;
}

const std::map<std::string_view, const Table*>& TEXTS() {
    static const std::map<std::string_view, const Table*> texts{{"ru", &RU()}, {"kk", &KK()}};
    return texts;
}

Value::Value(const std::filesystem::path& p) : text_(platform::utf8(p)) {}

std::string t(std::string_view key, std::string_view lang) {
    return std::string(lookup(key, lang));
}

std::string t(std::string_view key, std::string_view lang, std::initializer_list<Arg> values) {
    std::string_view tmpl = lookup(key, lang);
    if (values.size() == 0) return std::string(tmpl);
    return fill(key, tmpl, values);
}

}  // namespace i18n
