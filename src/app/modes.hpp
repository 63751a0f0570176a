// The maintenance modes: install and remove the right-click menu, with message boxes
// or silently, and remove the user's data. Each returns 0 for success and 1 for
// failure. The silent modes show no window and report a failure only in the error log
// (Russian titles in every language); the interactive ones report in message boxes in
// the current language and write no log. Without a display the interactive modes print
// their texts instead (information to standard output, failures to standard error) and
// take the yes/no question as answered no.
#pragma once

#include "product/context.hpp"

namespace app {

// Writes the menu and asks whether to open the help page beside the executable
// ("Instruction.html" in the app folder); opens it on yes when it exists.
int run_install_mode(const product::Context& ctx);

// Removes the menu and says so.
int run_uninstall_mode(const product::Context& ctx);

// The menu without windows; a failure goes to the error log titled
// "Не удалось поставить пункт меню правой кнопки" / "Не удалось убрать пункт меню правой кнопки".
int install_menu_silently(const product::Context& ctx);
int uninstall_menu_silently(const product::Context& ctx);

// Deletes the per-user data folder with everything in it, as far as it can
// (platform::remove_tree: links are removed, never followed, so nothing outside the
// folder goes; entries that cannot be deleted stay and the rest goes on); then, in app
// folder / "logs", the error log and its temporary files, and the folder once empty (a
// file of the user's there stays, and so does the folder). A folder that stays for
// another reason is logged ("Не удалось убрать папку <path>"). Never throws.
void purge_personal_data(const product::Context& ctx);

// purge_personal_data; a failure is logged as "Не удалось убрать личные данные при
// удалении" and gives 1.
int purge_personal_data_silently(const product::Context& ctx);

}  // namespace app
