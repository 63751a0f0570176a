#include "i18n/catalogue.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>

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
    {"choose_language", "Выберите язык", "Тілді таңдаңыз"},
    {"language_ru", "Русский", "Русский"},
    {"language_kk", "Қазақша", "Қазақша"},
    {"change_language", "Сменить язык", "Тілді ауыстыру"},
    {"language_saved", "Язык сохранён.", "Тіл сақталды."},
    {"menu_root", "{app} — объединить накладные", "{app} — жүкқұжаттарды біріктіру"},
    {"menu_help", "Инструкция {app}", "{app} нұсқаулығы"},
    // The application entry's search words (a desktop entry's list: each word ends in ";").
    {"app_keywords", "накладные;этикетки;маркетплейс;PDF;ZIP;объединить;печать;",
     "жүкқұжаттар;затбелгілер;маркетплейс;PDF;ZIP;біріктіру;басып шығару;"},
    {"menu_installed",
     "Меню установлено.\n\nПункт «{item}» добавлен в меню правой кнопки для ZIP-архивов.\n\nОткрыть инструкцию по "
     "использованию?",
     "Мәзір орнатылды.\n\n«{item}» тармағы ZIP-мұрағаттар үшін тінтуірдің оң жақ түймесі мәзіріне "
     "қосылды.\n\nПайдалану нұсқаулығын ашу керек пе?"},
    {"menu_install_failed", "Не удалось добавить пункт в меню правой кнопки:\n\n{error}",
     "Тінтуір мәзіріне қосу мүмкін болмады:\n\n{error}"},
    {"menu_removed", "Меню удалено.\n\nПункт «{item}» убран из меню правой кнопки.",
     "Мәзір жойылды.\n\n«{item}» тармағы тінтуір мәзірінен алынды."},
    {"menu_remove_failed", "Не удалось убрать пункт из меню правой кнопки:\n\n{error}",
     "Тінтуір мәзірінен алу мүмкін болмады:\n\n{error}"},
    // Linux: the menu goes to the file managers found ({managers}: their names joined
    // by ", "), and every file manager offers the program under "Open with".
    {"menu_installed_file_managers",
     "Меню установлено.\n\nПункт «{item}» добавлен в меню правой кнопки для ZIP-архивов в файловых менеджерах: "
     "{managers}.\nКроме того, в любом файловом менеджере архив можно открыть через «Открыть с помощью» → "
     "{app}.\n\nОткрыть инструкцию по использованию?",
     "Мәзір орнатылды.\n\n«{item}» тармағы мына файл менеджерлерінде ZIP-мұрағаттар үшін тінтуірдің оң жақ түймесі "
     "мәзіріне қосылды: {managers}.\nСонымен қатар кез келген файл менеджерінде мұрағатты «Көмегімен ашу» → {app} "
     "арқылы ашуға болады.\n\nПайдалану нұсқаулығын ашу керек пе?"},
    {"menu_installed_no_file_manager",
     "Программа добавлена в «Открыть с помощью» для ZIP-архивов: нажмите на архив правой кнопкой и выберите «Открыть с "
     "помощью» → {app}.\n\nНи один из файловых менеджеров Dolphin, Nautilus, Caja, Nemo не найден, поэтому пункта "
     "«{item}» в меню правой кнопки нет.\n\nОткрыть инструкцию по использованию?",
     "Бағдарлама ZIP-мұрағаттар үшін «Көмегімен ашу» тізіміне қосылды: мұрағатты тінтуірдің оң жақ түймесімен басып, "
     "«Көмегімен ашу» → {app} таңдаңыз.\n\nDolphin, Nautilus, Caja, Nemo файл менеджерлерінің ешқайсысы табылмады, "
     "сондықтан тінтуірдің оң жақ түймесі мәзірінде «{item}» тармағы жоқ.\n\nПайдалану нұсқаулығын ашу керек пе?"},
    // The same where the list of programs by file type could not be refreshed.
    {"menu_installed_file_managers_unlisted",
     "Меню установлено.\n\nПункт «{item}» добавлен в меню правой кнопки для ZIP-архивов в файловых менеджерах: "
     "{managers}.\nПрограмма update-desktop-database (пакет desktop-file-utils) не найдена, поэтому в «Открыть с "
     "помощью» {app} может не появиться.\n\nОткрыть инструкцию по использованию?",
     "Мәзір орнатылды.\n\n«{item}» тармағы мына файл менеджерлерінде ZIP-мұрағаттар үшін тінтуірдің оң жақ түймесі "
     "мәзіріне қосылды: {managers}.\nupdate-desktop-database бағдарламасы (desktop-file-utils дестесі) табылмады, "
     "сондықтан {app} «Көмегімен ашу» тізімінде көрінбеуі мүмкін.\n\nПайдалану нұсқаулығын ашу керек пе?"},
    {"menu_installed_no_file_manager_unlisted",
     "Ни один из файловых менеджеров Dolphin, Nautilus, Caja, Nemo не найден, поэтому пункта «{item}» в меню правой "
     "кнопки нет.\n\nПрограмма update-desktop-database (пакет desktop-file-utils) не найдена, поэтому в «Открыть с "
     "помощью» {app} может не появиться.\n\nОткрыть инструкцию по использованию?",
     "Dolphin, Nautilus, Caja, Nemo файл менеджерлерінің ешқайсысы табылмады, сондықтан тінтуірдің оң жақ түймесі "
     "мәзірінде «{item}» тармағы жоқ.\n\nupdate-desktop-database бағдарламасы (desktop-file-utils дестесі) "
     "табылмады, сондықтан {app} «Көмегімен ашу» тізімінде көрінбеуі мүмкін.\n\nПайдалану нұсқаулығын ашу керек пе?"},
    // A file manager in {managers} whose entries are in its scripts' sub-menu.
    {"menu_in_caja_scripts", "Caja (подменю «Сценарии»)", "Caja («Сценарии» ішкі мәзірі)"},
    {"menu_in_nautilus_scripts", "Nautilus (подменю «Scripts»)", "Nautilus («Scripts» ішкі мәзірі)"},
    {"menu_removed_file_managers",
     "Меню удалено.\n\nПункт «{item}» убран из меню правой кнопки в файловых менеджерах: {managers}.",
     "Мәзір жойылды.\n\n«{item}» тармағы мына файл менеджерлеріндегі тінтуір мәзірінен алынды: {managers}."},
    {"menu_removed_no_file_manager",
     "Меню удалено.\n\nПункта «{item}» не было в меню правой кнопки ни одного из файловых менеджеров Dolphin, "
     "Nautilus, Caja, Nemo.",
     "Мәзір жойылды.\n\n«{item}» тармағы Dolphin, Nautilus, Caja, Nemo файл менеджерлерінің ешқайсысының тінтуір "
     "мәзірінде болған жоқ."},
    {"mode_1up", "1 на лист (обычно)", "Параққа 1 (әдеттегі)"},
    {"mode_4up", "4 на лист (2x2)", "Параққа 4 (2x2)"},
    {"mode_6up", "6 на лист (2x3)", "Параққа 6 (2x3)"},
    {"mode_9up", "9 на лист (3x3)", "Параққа 9 (3x3)"},
    {"choose_mode", "Выберите режим объединения:", "Біріктіру режимін таңдаңыз:"},
    // Above the chooser when several archives were picked at once.
    {"choose_mode_archives", "Выбрано архивов: {count}. Каждый объединяется отдельно.",
     "Таңдалған мұрағаттар: {count}. Әрқайсысы бөлек біріктіріледі."},
    // After the title of a window that belongs to one of several archives.
    {"window_archive_of", "архив {index} из {count}", "{index}-мұрағат, барлығы {count}"},
    {"merging_title", "Объединение PDF", "PDF біріктіру"},
    {"merging_hint", "Пожалуйста, подождите.\nПрограмма объединяет выбранные PDF-файлы.",
     "Күте тұрыңыз.\nБағдарлама таңдалған PDF файлдарын біріктіруде."},
    // The wait window's progress line on a long job.
    {"progress_unpacking", "Распаковка архива: {done} из {total}", "Мұрағатты ашу: {total} ішінен {done}"},
    {"progress_waiting_history", "Ожидание: историю накладных сейчас занимает другое объединение…",
     "Күту: жүкқұжаттар тарихын қазір басқа біріктіру пайдаланып жатыр…"},
    {"progress_merging_all", "Файл со всеми: объединено {done} из {total}",
     "Барлығы бар файл: {total} ішінен {done} біріктірілді"},
    {"progress_merging_new", "Файл с новыми: объединено {done} из {total}",
     "Жаңалары бар файл: {total} ішінен {done} біріктірілді"},
    {"progress_saving_all", "Файл со всеми: сохранение…", "Барлығы бар файл: сақталуда…"},
    {"progress_saving_new", "Файл с новыми: сохранение…", "Жаңалары бар файл: сақталуда…"},
    {"done_title", "PDF успешно объединён", "PDF сәтті біріктірілді"},
    {"done_hint", "Готовые PDF-файлы созданы.\nОткройте нужный файл, проверьте страницы и отправьте его на печать.",
     "Дайын PDF файлдары жасалды.\nҚажет файлды ашып, беттерін тексеріп, басып шығаруға жіберіңіз."},
    {"detail_version", "Версия программы: {version}", "Бағдарлама нұсқасы: {version}"},
    {"detail_file_all", "Файл со всеми: {path}", "Барлығы бар файл: {path}"},
    {"detail_file_new", "Файл с новыми: {path}", "Жаңалары бар файл: {path}"},
    {"detail_no_new_file", "новых накладных нет", "жаңа жүкқұжат жоқ"},
    {"detail_mode", "Режим: {mode}", "Режимі: {mode}"},
    {"detail_new_count", "Новых накладных: {count}", "Жаңа жүкқұжаттар: {count}"},
    {"detail_pages", "Исходных страниц: {count}", "Бастапқы беттер: {count}"},
    {"detail_sheets_all", "Итоговых листов со всеми: {count}", "Барлығымен шыққан парақтар: {count}"},
    {"detail_sheets_new", "Итоговых листов с новыми: {count}", "Жаңаларымен шыққан парақтар: {count}"},
    {"files_taken", "Взято файлов из архива: {count}", "Мұрағаттан алынған файлдар: {count}"},
    {"btn_open_all", "Открыть все", "Барлығын ашу"},
    {"btn_open_new", "Открыть новые", "Жаңаларын ашу"},
    {"btn_open_folder", "Папка с PDF", "PDF қалтасы"},
    {"btn_close", "Закрыть", "Жабу"},
    {"open_help", "Инструкция", "Нұсқаулық"},
    {"old_sheets_none", "Старых листов нет.", "Ескі парақтар жоқ."},
    {"old_sheets_confirm",
     "Удалить готовые листы старше трёх суток?\n\n{names}\n\nИсходные архивы и история накладных не пострадают.",
     "Үш тәуліктен ескі дайын парақтарды жою керек пе?\n\n{names}\n\nБастапқы мұрағаттар мен жүкқұжат тарихы зардап "
     "шекпейді."},
    {"old_sheets_and_more", "и ещё {count}", "және тағы {count}"},
    {"clean_old_sheets", "Удалить PDF старше 3 дней", "3 күннен ескі PDF-ті жою"},
    // The result window failed after a merge that succeeded: the files are written.
    {"error_result_window",
     "PDF-файлы созданы, но окно с результатом не удалось показать. Готовые файлы лежат рядом с архивом.",
     "PDF файлдары жасалды, бірақ нәтиже терезесін көрсету мүмкін болмады. Дайын файлдар мұрағаттың жанында жатыр."},
    {"error_pdf_failed", "Ошибка при создании PDF.", "PDF жасау кезінде қате шықты."},
    {"error_log_saved", "Файл ошибки сохранён:", "Қате файлы сақталды:"},
    {"error_send_log", "Пришлите файл error.log в Telegram: {url}", "error.log файлын Telegram-ға жіберіңіз: {url}"},
    {"error_open_log_folder", "Открыть папку с логом", "Журнал қалтасын ашу"},
    {"exe_not_found", "Файл {name} не найден.\n\nПапка:\n{folder}", "{name} файлы табылмады.\n\nҚалта:\n{folder}"},
    {"zip_not_found", "ZIP-файл не найден:\n{path}", "ZIP файлы табылмады:\n{path}"},
    {"choose_zip", "Выберите ZIP-архив с накладными", "Жүкқұжаттары бар ZIP-мұрағатты таңдаңыз"},
    // The file types of the open-file dialog.
    {"file_type_zip", "ZIP-архивы", "ZIP-мұрағаттар"},
    {"file_type_all", "Все файлы", "Барлық файлдар"},
    // Said on standard error when the toolkit cannot open a window (no display).
    {"no_window", "Не удаётся открыть окно: графический экран недоступен.",
     "Терезені ашу мүмкін емес: графикалық экран қолжетімсіз."},
    // The result window when something needs a look before printing.
    {"done_title_check", "PDF объединён — проверьте накладные", "PDF біріктірілді — жүкқұжаттарды тексеріңіз"},
    {"done_hint_check",
     "Готовые PDF-файлы созданы, но часть накладных требует проверки.\nПеред печатью проверьте накладные, названные "
     "ниже.",
     "Дайын PDF файлдары жасалды, бірақ кейбір жүкқұжаттарды тексеру керек.\nБасып шығарар алдында төменде аталған "
     "жүкқұжаттарды тексеріңіз."},
    // The same when no waybill is named below, only damaged records of the history.
    {"done_hint_history",
     "Готовые PDF-файлы созданы, но в истории накладных были повреждённые записи.\nВ файл с новыми накладными могли "
     "попасть уже напечатанные — проверьте его перед печатью.",
     "Дайын PDF файлдары жасалды, бірақ жүкқұжаттар тарихында бүлінген жазбалар болды.\nЖаңа жүкқұжаттар файлына бұрын "
     "басылғандары түсуі мүмкін — басып шығарар алдында оны тексеріңіз."},
    // Follow-up actions of the result window that failed after a successful merge.
    {"open_failed", "Не удалось открыть:\n{path}", "Ашу мүмкін болмады:\n{path}"},
    {"open_no_program", "Не удалось запустить программу, которая открывает такие файлы.",
     "Мұндай файлдарды ашатын бағдарламаны іске қосу мүмкін болмады."},
    {"language_save_failed", "Не удалось сохранить выбранный язык, язык программы не изменился.",
     "Таңдалған тілді сақтау мүмкін болмады, бағдарлама тілі өзгерген жоқ."},
    {"menu_relabel_failed", "Язык сохранён, но пункт меню правой кнопки не удалось обновить на новом языке.",
     "Тіл сақталды, бірақ тінтуірдің оң жақ түймесі мәзіріндегі тармақты жаңа тілге жаңарту мүмкін болмады."},
    {"menu_place_missing", "Модуль реестра Windows недоступен. Установка меню поддерживается только в Windows.",
     "Windows тізілімі модулі қолжетімсіз. Мәзірді орнату тек Windows жүйесінде қолдау көрсетіледі."},
    // The error dialog when the error log itself could not be written: where, and why.
    {"error_log_not_written", "Журнал ошибок записать не удалось:\n{path}",
     "Қателер журналын жазу мүмкін болмады:\n{path}"},
    {"error_write_support", "Напишите об этой ошибке в поддержку в Telegram: {url}",
     "Бұл қате туралы Telegram-дағы қолдау қызметіне жазыңыз: {url}"},
    {"log_write_failed", "Не удалось записать журнал ошибок:\n{path}", "Қателер журналын жазу мүмкін болмады:\n{path}"},
    {"fs_not_a_folder", "На месте папки лежит файл с тем же именем. Переименуйте или уберите этот файл.",
     "Қалтаның орнында дәл сондай атаулы файл тұр. Бұл файлдың атын өзгертіңіз немесе оны алып тастаңыз."},
    // A failure nobody foresaw: the library's or the system's own words follow as a
    // detail, never stand alone.
    {"error_unexpected", "Произошла непредвиденная ошибка.", "Күтпеген қате орын алды."},
    // Messages of failures. A second sentence says what the system's error means and
    // what to do; the library's or system's own words follow as a detail.
    {"error_detail", "Подробности: {detail}", "Толығырақ: {detail}"},
    {"fs_disk_full", "На диске не хватает места. Освободите место на диске и повторите.",
     "Дискіде орын жетпейді. Дискіде орын босатып, қайталап көріңіз."},
    {"fs_no_access", "Нет доступа к файлу или папке. Проверьте права доступа или выберите другую папку.",
     "Файлға немесе қалтаға кіру рұқсаты жоқ. Кіру құқықтарын тексеріңіз немесе басқа қалтаны таңдаңыз."},
    {"fs_read_only", "Диск или папка доступны только для чтения. Перенесите архив в папку, куда можно записывать.",
     "Диск немесе қалта тек оқуға арналған. Мұрағатты жазуға болатын қалтаға көшіріңіз."},
    {"fs_name_too_long",
     "Слишком длинное имя файла или путь к нему. Переименуйте архив короче или перенесите его в папку с коротким "
     "путём.",
     "Файл атауы немесе оған апаратын жол тым ұзын. Мұрағаттың атауын қысқартыңыз немесе оны жолы қысқа қалтаға "
     "көшіріңіз."},
    {"fs_not_found", "Файл или папка не найдены. Проверьте, что они на месте, и повторите.",
     "Файл немесе қалта табылмады. Олардың орнында екенін тексеріп, қайталап көріңіз."},
    {"fs_busy", "Файл открыт в другой программе (например, в Excel). Закройте его там и повторите.",
     "Файл басқа бағдарламада ашық тұр (мысалы, Excel-де). Оны сол жерде жауып, қайталап көріңіз."},
    {"fs_other", "Проверьте, что диск доступен, и повторите.",
     "Дискінің қолжетімді екенін тексеріп, қайталап көріңіз."},
    {"file_read_failed", "Не удалось прочитать файл:\n{path}", "Файлды оқу мүмкін болмады:\n{path}"},
    {"file_write_failed", "Не удалось записать файл:\n{path}", "Файлды жазу мүмкін болмады:\n{path}"},
    {"temp_folder_failed", "Не удалось создать временную папку в:\n{path}",
     "Мына жерде уақытша қалта жасау мүмкін болмады:\n{path}"},
    {"disk_space_unknown", "Не удалось узнать, сколько места свободно на диске с папкой:\n{path}",
     "Мына қалта орналасқан дискіде қанша бос орын бар екенін анықтау мүмкін болмады:\n{path}"},
    {"history_save_failed", "Не удалось сохранить историю накладных:\n{path}",
     "Жүкқұжаттар тарихын сақтау мүмкін болмады:\n{path}"},
    {"history_read_failed", "Не удалось прочитать историю накладных:\n{path}",
     "Жүкқұжаттар тарихын оқу мүмкін болмады:\n{path}"},
    {"history_lock_busy",
     "История накладных занята другим объединением дольше {minutes} мин. Файл блокировки:\n{path}\nДождитесь, когда "
     "другие окна программы закончат объединение, закройте их и повторите.",
     "Жүкқұжаттар тарихын басқа біріктіру {minutes} минуттан астам уақыт бойы пайдаланып тұр. Бұғаттау "
     "файлы:\n{path}\nБағдарламаның басқа терезелері біріктіруді аяқтағанын күтіңіз, оларды жауып, қайталап көріңіз."},
    {"history_lock_failed", "Не удалось занять историю накладных для этого объединения:\n{path}",
     "Бұл біріктіру үшін жүкқұжаттар тарихын бұғаттау мүмкін болмады:\n{path}"},
    // A line of the result window, once: the program's folder is not the user's to write.
    {"result_history_moved",
     "В папку программы нельзя записывать, поэтому история накладных хранится в вашей папке: {path}",
     "Бағдарлама қалтасына жазуға болмайды, сондықтан жүкқұжаттар тарихы сіздің қалтаңызда сақталады: {path}"},
    // A line of the result window: damaged records of the history file were left out.
    {"result_history_skipped",
     "Повреждённые записи в истории накладных ({count}) не учтены, поэтому эти накладные считаются новыми. Копия "
     "прежнего файла истории: {path}",
     "Жүкқұжаттар тарихындағы бүлінген жазбалар ({count}) ескерілмеді, сондықтан сол жүкқұжаттар жаңа болып саналады. "
     "Тарих файлының бұрынғы көшірмесі: {path}"},
    {"file_access_failed", "Не удалось обратиться к файлу или папке:\n{path}",
     "Файлға немесе қалтаға қол жеткізу мүмкін болмады:\n{path}"},
    {"out_of_memory",
     "Компьютеру не хватает памяти, чтобы объединить этот архив:\n{path}\nЗакройте другие программы или разделите "
     "накладные на несколько архивов поменьше.",
     "Бұл мұрағатты біріктіруге компьютердің жады жетпейді:\n{path}\nБасқа бағдарламаларды жабыңыз немесе "
     "жүкқұжаттарды бірнеше кішірек мұрағатқа бөліңіз."},
    {"pdf_write_failed", "Не удалось записать готовый PDF-файл:\n{path}",
     "Дайын PDF файлын жазу мүмкін болмады:\n{path}"},
    {"zip_open_failed", "Не удалось открыть ZIP-архив:\n{path}", "ZIP-мұрағатты ашу мүмкін болмады:\n{path}"},
    {"output_name_too_long",
     "Имя готового PDF-файла получается слишком длинным:\n{path}\nПереименуйте архив короче или перенесите его в папку "
     "с коротким путём.",
     "Дайын PDF файлының атауы тым ұзын болып шығады:\n{path}\nМұрағаттың атауын қысқартыңыз немесе оны жолы қысқа "
     "қалтаға көшіріңіз."},
    {"archive_folder_read_only",
     "Готовые PDF-файлы сохраняются рядом с архивом, но в его папку нельзя записывать:\n{path}\nПеренесите архив в "
     "свою папку (например, «Загрузки» или «Документы») и откройте его оттуда.",
     "Дайын PDF файлдары мұрағаттың жанына сақталады, бірақ оның қалтасына жазуға болмайды:\n{path}\nМұрағатты өз "
     "қалтаңызға (мысалы, «Жүктеулер» немесе «Құжаттар») көшіріп, сол жерден ашыңыз."},
    {"zip_damaged", "Архив повреждён или это не ZIP-файл:\n{path}\nСкачайте архив заново.",
     "Мұрағат бүлінген немесе бұл ZIP файлы емес:\n{path}\nМұрағатты қайта жүктеп алыңыз."},
    // More members than a job unpacks ({size}: the archive in MB, rounded up).
    {"zip_too_many_members",
     "В архиве слишком много файлов и папок: {count}, а программа распаковывает не больше {limit} (в архиве накладных "
     "за день их намного меньше). Размер архива — {size} МБ:\n{path}\nПроверьте, что это архив с накладными.",
     "Мұрағатта файлдар мен қалталар тым көп: {count}, ал бағдарлама ең көбі {limit} файл мен қалтаны ашады (бір күнгі "
     "жүкқұжаттар мұрағатында олар әлдеқайда аз). Мұрағаттың өлшемі — {size} МБ:\n{path}\nБұл жүкқұжаттар мұрағаты "
     "екенін тексеріңіз."},
    {"zip_member_encrypted",
     "Файл «{name}» в архиве зашифрован, распаковать его без пароля нельзя. Скачайте архив без пароля.",
     "Мұрағаттағы «{name}» файлы шифрланған, оны құпиясөзсіз ашу мүмкін емес. Мұрағатты құпиясөзсіз жүктеп алыңыз."},
    {"zip_member_method",
     "Файл «{name}» в архиве сжат неподдерживаемым методом ({method}). Упакуйте накладные в ZIP заново обычным "
     "сжатием.",
     "Мұрағаттағы «{name}» файлы қолдау көрсетілмейтін әдіспен ({method}) қысылған. Жүкқұжаттарды кәдімгі қысумен "
     "ZIP-ке қайта буып-түйіңіз."},
    {"zip_member_too_large",
     "Файл «{name}» в архиве слишком велик: {size} МБ, а программа распаковывает файлы не больше {limit} МБ. "
     "Проверьте, что в архиве только накладные.",
     "Мұрағаттағы «{name}» файлы тым үлкен: {size} МБ, ал бағдарлама {limit} МБ-тан аспайтын файлдарды ғана ашады. "
     "Мұрағатта тек жүкқұжаттар бар екенін тексеріңіз."},
    {"zip_no_space",
     "Для распаковки архива не хватает места на диске с временной папкой: нужно {needed} МБ, свободно {free} МБ. "
     "Освободите место на диске и повторите.",
     "Мұрағатты ашуға уақытша қалта тұрған дискіде орын жетпейді: {needed} МБ қажет, бос орын {free} МБ. Дискіде орын "
     "босатып, қайталап көріңіз."},
    {"zip_member_crc", "Архив повреждён: не сходится контрольная сумма файла «{name}». Скачайте архив заново.",
     "Мұрағат бүлінген: «{name}» файлының бақылау сомасы сәйкес келмейді. Мұрағатты қайта жүктеп алыңыз."},
    {"zip_member_unreadable", "Архив повреждён: не удалось прочитать файл «{name}». Скачайте архив заново.",
     "Мұрағат бүлінген: «{name}» файлын оқу мүмкін болмады. Мұрағатты қайта жүктеп алыңыз."},
    {"zip_member_longer", "Архив повреждён: файл «{name}» длиннее размера, указанного в архиве. Скачайте архив заново.",
     "Мұрағат бүлінген: «{name}» файлы мұрағатта көрсетілген өлшемнен ұзын. Мұрағатты қайта жүктеп алыңыз."},
    {"zip_member_shorter", "Архив повреждён: файл «{name}» короче размера, указанного в архиве. Скачайте архив заново.",
     "Мұрағат бүлінген: «{name}» файлы мұрағатта көрсетілген өлшемнен қысқа. Мұрағатты қайта жүктеп алыңыз."},
    {"zip_member_write_failed", "Не удалось записать файл «{name}» из архива во временную папку.",
     "Мұрағаттағы «{name}» файлын уақытша қалтаға жазу мүмкін болмады."},
    {"pdf_damaged",
     "Накладная «{name}» повреждена, программа не может её прочитать. Скачайте эту накладную заново и соберите архив "
     "ещё раз.",
     "«{name}» жүкқұжаты бүлінген, бағдарлама оны оқи алмайды. Бұл жүкқұжатты қайта жүктеп алып, мұрағатты қайта "
     "жинаңыз."},
    // Several damaged waybills, named at once ({names}: one per line, the first ten, then
    // pdf_damaged_and_more), so that they are downloaded again in one go.
    {"pdf_damaged_many",
     "Накладные повреждены, программа не может их прочитать ({count}):\n{names}\nСкачайте эти накладные заново и "
     "соберите архив ещё раз.",
     "Жүкқұжаттар бүлінген, бағдарлама оларды оқи алмайды ({count}):\n{names}\nБұл жүкқұжаттарды қайта жүктеп алып, "
     "мұрағатты қайта жинаңыз."},
    {"pdf_damaged_and_more", "и ещё {count}", "тағы {count}"},
    {"pdf_no_pages",
     "В накладной «{name}» нет ни одной страницы: файл, вероятно, скачан не полностью. Скачайте эту накладную заново и "
     "соберите архив ещё раз.",
     "«{name}» жүкқұжатында бірде-бір бет жоқ: файл толық жүктелмеген болуы мүмкін. Бұл жүкқұжатты қайта жүктеп алып, "
     "мұрағатты қайта жинаңыз."},
    {"pdf_password",
     "Накладная «{name}» защищена паролем, программа не может её открыть. Скачайте накладную без пароля и соберите "
     "архив ещё раз.",
     "«{name}» жүкқұжаты құпиясөзбен қорғалған, бағдарлама оны аша алмайды. Жүкқұжатты құпиясөзсіз жүктеп алып, "
     "мұрағатты қайта жинаңыз."},
    {"pdf_content_broken",
     "Страницу {page} накладной «{name}» не удалось прочитать полностью: файл, вероятно, скачан не полностью или "
     "повреждён, и на печати она вышла бы пустой или неполной. Скачайте эту накладную заново и соберите архив ещё раз.",
     "«{name}» жүкқұжатының {page}-бетін толық оқу мүмкін болмады: файл толық жүктелмеген немесе бүлінген болуы "
     "мүмкін, басып шығарғанда ол бос не толық емес болып шығар еді. Бұл жүкқұжатты қайта жүктеп алып, мұрағатты қайта "
     "жинаңыз."},
    {"pdf_content_too_large",
     "Страница {page} накладной «{name}» распаковывается в слишком большой объём (больше {limit} МБ). Файл, скорее "
     "всего, повреждён; скачайте эту накладную заново.",
     "«{name}» жүкқұжатының {page}-беті тым үлкен көлемге ашылады ({limit} МБ-тан артық). Файл бүлінген болуы мүмкін; "
     "бұл жүкқұжатты қайта жүктеп алыңыз."},
    {"pdf_memory_limit",
     "Накладная «{name}» требует для обработки больше памяти, чем допустимо ({limit} МБ). Файл, скорее всего, "
     "повреждён; скачайте эту накладную заново.",
     "«{name}» жүкқұжатын өңдеуге рұқсат етілгеннен көп жад қажет ({limit} МБ). Файл бүлінген болуы мүмкін; бұл "
     "жүкқұжатты қайта жүктеп алыңыз."},
    {"merge_memory_limit",
     "Для объединения этого архива нужно больше памяти, чем допустимо ({limit} МБ):\n{path}\nРазделите накладные на "
     "несколько архивов поменьше.",
     "Бұл мұрағатты біріктіруге рұқсат етілгеннен көп жад қажет ({limit} МБ):\n{path}\nЖүкқұжаттарды бірнеше кішірек "
     "мұрағатқа бөліңіз."},
    // What a finished merge must tell the user besides its files.
    {"result_repaired",
     "Повреждённые накладные, восстановленные программой ({count}): {names}. Проверьте их в готовом файле перед "
     "печатью.",
     "Бағдарлама қалпына келтірген бүлінген жүкқұжаттар ({count}): {names}. Басып шығарар алдында оларды дайын файлдан "
     "тексеріңіз."},
    {"result_conflicting_duplicates",
     "В файл не вошли накладные ({count}): {names}. У каждой то же имя, что у накладной, которая вошла в файл, но "
     "другое содержимое. Проверьте архив.",
     "Файлға кірмеген жүкқұжаттар ({count}): {names}. Әрқайсысының аты файлға кірген жүкқұжаттың атымен бірдей, бірақ "
     "мазмұны басқа. Мұрағатты тексеріңіз."},
};

// True when two rows carry the same key: a table would keep the first row's text and
// drop the other's without a word.
constexpr bool has_repeated_key() {
    for (std::size_t i = 0; i < std::size(ROWS); ++i)
        for (std::size_t j = i + 1; j < std::size(ROWS); ++j)
            if (ROWS[i].key == ROWS[j].key) return true;
    return false;
}
static_assert(!has_repeated_key(), "a key appears in two rows of the catalogue");

Table make_table(std::string_view Row::*text) {
    Table table;
    for (const Row& row : ROWS) table.emplace(row.key, row.*text);
    return table;
}

// Replaces every "{name}" of `tmpl` by value_of(name), which returns null for a
// name without a value.
template <class ValueOf>
std::string fill(std::string_view key, std::string_view tmpl, ValueOf value_of) {
    std::string out;
    out.reserve(tmpl.size());
    while (!tmpl.empty()) {
        std::size_t open = tmpl.find('{');
        std::size_t close = open == std::string_view::npos ? open : tmpl.find('}', open);
        if (close == std::string_view::npos) break;  // no further placeholder
        out.append(tmpl.substr(0, open));
        std::string_view name = tmpl.substr(open + 1, close - open - 1);
        const std::string* value = value_of(name);
        if (value == nullptr) {
            std::string message = "no value for placeholder {";
            message.append(name).append("} of text \"").append(key).append("\"");
            throw diag::RuntimeError(message);
        }
        out.append(*value);
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

std::string t(std::string_view key, std::string_view lang) { return std::string(lookup(key, lang)); }

std::string t(std::string_view key, std::string_view lang, std::initializer_list<Arg> values) {
    std::string_view tmpl = lookup(key, lang);
    if (values.size() == 0) return std::string(tmpl);
    return fill(key, tmpl, [&](std::string_view name) -> const std::string* {
        auto it = std::find_if(values.begin(), values.end(), [name](const Arg& a) { return a.first == name; });
        return it == values.end() ? nullptr : &it->second.text();
    });
}

std::string t(std::string_view key, std::string_view lang,
              const std::vector<std::pair<std::string, std::string>>& values) {
    std::string_view tmpl = lookup(key, lang);
    if (values.empty()) return std::string(tmpl);
    return fill(key, tmpl, [&](std::string_view name) -> const std::string* {
        auto it = std::find_if(values.begin(), values.end(), [name](const auto& v) { return v.first == name; });
        return it == values.end() ? nullptr : &it->second;
    });
}

}  // namespace i18n
