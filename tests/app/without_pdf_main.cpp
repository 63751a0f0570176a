// The program with a PDF library that cannot start: for the test of exit code 10.
#include "app/entry.hpp"
#include "diag/errors.hpp"
#include "platform/platform.hpp"

int main(int argc, char** argv) {
    return app::run_program(platform::command_line_arguments(argc, argv),
                            [] { throw diag::RuntimeError("cannot create the MuPDF context"); });
}
