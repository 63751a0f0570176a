// The self-check of an installed copy: can the PDF library make a document, can the
// toolkit open a window, are the help pages and the icon in place. Prints a report on
// standard output; writes nothing else.
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "product/context.hpp"

namespace app::selfcheck {

// The help pages that must be present, in the order a missing one is named.
inline constexpr std::array<std::string_view, 2> HELP_FILES{"Instruction.html", "Instruction_kk.html"};

// A check returns nothing when all is well, else one line (Russian) naming the trouble.
using Check = std::function<std::optional<std::string>()>;

// Runs every check once, in order, and prints "Самопроверка: всё на месте." (returns 0),
// or "Самопроверка нашла беду:" and "  — <trouble>" per trouble (returns 1). A failure
// check_files does not expect (a folder it may not read) passes to the caller, and
// nothing is printed.
int run(const std::vector<Check>& checks);
int run(const product::Context& ctx);  // with checks(ctx)

// Makes a one-page PDF in memory. Trouble: "библиотека PDF не загрузилась: ..." or
// "библиотека PDF не делает документ: ...".
std::optional<std::string> check_pdf();

// Opens a hidden Tk main window, lets it settle and loads what a message box needs
// (the msgcat package, Tk's box). Trouble: "окно не создалось: ...", "окно не
// отвечает: ..." or "окна сообщений не загрузились: ...".
std::optional<std::string> check_window();

// Looks for root / "help" / each of HELP_FILES and root / "assets" / `icon_name`. Trouble: "не хватает файлов: " and
// the missing names joined by ", ". Throws std::filesystem::filesystem_error when an entry cannot be looked at (not
// when it is merely missing).
std::optional<std::string> check_files(const std::filesystem::path& root, std::string_view icon_name);

// check_pdf, check_window, check_files of the context's resource folder and icon.
std::vector<Check> checks(const product::Context& ctx);

}  // namespace app::selfcheck
