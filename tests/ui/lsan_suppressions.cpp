// Leaks that LeakSanitizer reports in the libraries under Tk, not in this program: Tk's
// Xft font code keeps the fontconfig patterns of every font it opens, and fontconfig
// keeps its parsed configuration (read with expat) for the life of the process.
// Linked into the window tests only; without the sanitizer nothing calls it.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libexpat.so\n";
}
