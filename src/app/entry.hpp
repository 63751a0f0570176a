// The program's entry: start-up, the command line and where a run goes from there.
//
// Argument 1 is a switch (compared without regard to case) or the path of the ZIP
// archive to merge; argument 2 is the layout for that archive. Further arguments are
// ignored. Arguments are UTF-8.
//
// Exit codes: 0 for success and for every run started without arguments; 1 for a
// failed mode or a failed command-line merge; 10 when the PDF library cannot start.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "product/context.hpp"

namespace app {

// Starts the PDF library; throws when it cannot (the message names why).
using PdfLibraryLoader = std::function<void()>;

// Creates the process's MuPDF context with its document handlers. Throws
// diag::RuntimeError when MuPDF cannot start.
void load_pdf_library();

// The whole run: builds the program's context from the product profile and the
// running executable, puts the library folder on the library
// search path, points Tcl and Tk at their script folders, starts the PDF library (on
// failure prints "ERROR: MuPDF is not available: " and the reason to standard output
// and returns 10 before anything else happens), then runs the first switch of
// SWITCHES that argument 1 asks for, or main(). Returns the process exit code. An
// exception no part of the run handles is printed to standard error and gives 1.
int run_program(const std::vector<std::string>& argv, const PdfLibraryLoader& load = load_pdf_library);

// True when `argv` has an argument 1 and it equals `flag` (lower case) once lowered.
bool asked_for(const std::vector<std::string>& argv, std::string_view flag);

// One maintenance switch and the mode it runs; the mode's result is the exit code.
struct Switch {
    std::string_view flag;
    int (*mode)(const product::Context& ctx);
};

// The switches in the order they are tested: "--help", "--install-menu",
// "--uninstall-menu", "--uninstall-data", "--install", "--uninstall", "--selfcheck".
const std::vector<Switch>& SWITCHES();

// No switch: the command-line merge of argument 1 with the layout of argument 2 (0
// after the result window, 1 after a reported failure), or, without arguments,
// run_gui() and 0.
int main(const product::Context& ctx, const std::vector<std::string>& argv);

// "--choose-layout ARCHIVE...", as the application entry ("Open with") starts the
// program: asks for the layout once in the mode chooser, then merges each archive in
// turn with it as the command line merges one (wait window, result window or error
// dialog). Without archives it is run_gui(). Returns 0 when every merge succeeded or
// the chooser was closed, 1 when a merge failed or, without a display, nothing could
// be asked (said on standard error).
int choose_layout_and_merge(const product::Context& ctx, const std::vector<std::string>& argv);

// Asks for the archive in the open-file dialog and for the layout in the mode
// chooser, then merges like the command line. A cancelled dialog or chooser ends it;
// a failure is reported in the error dialog. Without a display says so on standard
// error.
void run_gui(const product::Context& ctx);

// The layout argument: a decimal integer, blanks around it and a leading sign
// allowed; anything else (a fraction, a word, an empty text, a number too large)
// gives 1. No range check: the merge job replaces a layout it does not know by 1.
int parse_layout(std::string_view text);

}  // namespace app
