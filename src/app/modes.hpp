// The maintenance modes: install and remove the right-click menu, with message boxes
// or silently, and remove the user's data. Each returns 0 for success and 1 for
// failure. The silent modes show no window and report a failure only in the error log
// (Russian titles in every language); the interactive ones report in message boxes in
// the current language and write no log. Without a display the interactive modes print
// their texts instead (information to standard output, failures to standard error) and
// take the yes/no question as answered no.
#pragma once

#include <filesystem>

namespace app {

// Writes the menu and asks whether to open the help page beside the executable
// ("Instruction.html" in the app folder); opens it on yes when it exists.
int run_install_mode();

// Removes the menu and says so.
int run_uninstall_mode();

// The menu without windows; a failure goes to the error log titled
// "Не удалось поставить пункт меню правой кнопки" / "Не удалось убрать пункт меню правой кнопки".
int install_menu_silently();
int uninstall_menu_silently();

// Deletes `data_folder`, then app_folder / "logs", each with everything in it, as far
// as it can: entries that cannot be deleted stay and the rest goes on. A folder whose
// deletion fails as a whole is logged ("Не удалось убрать папку <path>"). Never throws.
void purge_personal_data(const std::filesystem::path& app_folder, const std::filesystem::path& data_folder);

// purge_personal_data for the program's own folders; a failure (the folders cannot be
// told) is logged as "Не удалось убрать личные данные при удалении" and gives 1.
int purge_personal_data_silently();

}  // namespace app
