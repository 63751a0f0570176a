# The Windows build: the libraries come from the prefixes that scripts/windows-build
# passes in CMAKE_PREFIX_PATH, all linked statically, under the same target names the
# Linux build gets from its packages. Included from the top-level CMakeLists when WIN32.
enable_language(RC)

macro(mergalo_static_lib var)
  find_library(${var} NAMES ${ARGN} NO_CMAKE_SYSTEM_PATH REQUIRED)
endmacro()
macro(mergalo_header_dir var header)
  find_path(${var} ${header} REQUIRED)
endmacro()

# zlib and the image and font libraries MuPDF reads with.
mergalo_static_lib(WIN_ZLIB libz.a)
mergalo_header_dir(WIN_ZLIB_INCLUDE zlib.h)
add_library(ZLIB::ZLIB INTERFACE IMPORTED)
target_include_directories(ZLIB::ZLIB SYSTEM INTERFACE ${WIN_ZLIB_INCLUDE})
target_link_libraries(ZLIB::ZLIB INTERFACE ${WIN_ZLIB})
mergalo_static_lib(WIN_JPEG libjpeg.a)
mergalo_static_lib(WIN_OPENJP2 libopenjp2.a)
mergalo_static_lib(WIN_JBIG2DEC libjbig2dec.a)
mergalo_static_lib(WIN_FREETYPE libfreetype.a)
mergalo_static_lib(WIN_HARFBUZZ libharfbuzz.a)
mergalo_static_lib(MUPDF_LIB libmupdf.a)
mergalo_static_lib(MUPDF_THIRD_LIB libmupdf-third.a)
mergalo_header_dir(MUPDF_INCLUDE mupdf/fitz.h)
add_library(mupdf INTERFACE)
target_include_directories(mupdf SYSTEM INTERFACE ${MUPDF_INCLUDE})
target_link_libraries(mupdf INTERFACE ${MUPDF_LIB} ${MUPDF_THIRD_LIB} ${WIN_HARFBUZZ} ${WIN_FREETYPE}
  ${WIN_OPENJP2} ${WIN_JBIG2DEC} ${WIN_JPEG} ${WIN_ZLIB})
target_compile_options(mupdf INTERFACE -Wno-old-style-cast)

# libzip, without encryption (encrypted members are refused before they are read).
mergalo_static_lib(WIN_LIBZIP libzip.a)
mergalo_header_dir(WIN_LIBZIP_INCLUDE zip.h)
add_library(PkgConfig::LIBZIP INTERFACE IMPORTED)
target_include_directories(PkgConfig::LIBZIP SYSTEM INTERFACE ${WIN_LIBZIP_INCLUDE})
target_compile_definitions(PkgConfig::LIBZIP INTERFACE ZIP_STATIC)
target_link_libraries(PkgConfig::LIBZIP INTERFACE ${WIN_LIBZIP} ${WIN_ZLIB} advapi32 bcrypt)

# ICU with its data linked in (static libraries carry an "s" on Windows).
mergalo_static_lib(WIN_ICUUC libsicuuc.a)
mergalo_static_lib(WIN_ICUIN libsicuin.a)
mergalo_static_lib(WIN_ICUDT libsicudt.a)
mergalo_header_dir(WIN_ICU_INCLUDE unicode/normalizer2.h)
add_library(ICU::uc INTERFACE IMPORTED)
target_include_directories(ICU::uc SYSTEM INTERFACE ${WIN_ICU_INCLUDE})
target_compile_definitions(ICU::uc INTERFACE U_STATIC_IMPLEMENTATION)
target_link_libraries(ICU::uc INTERFACE ${WIN_ICUUC} ${WIN_ICUDT})
add_library(ICU::i18n INTERFACE IMPORTED)
target_link_libraries(ICU::i18n INTERFACE ${WIN_ICUIN} ICU::uc)

# nlohmann-json is headers only: Debian's own headers, seen through a folder that holds
# nothing else, so the build machine's other headers stay out of the cross build.
find_file(WIN_NLOHMANN_DIR nlohmann PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/nlohmann-include)
file(CREATE_LINK ${WIN_NLOHMANN_DIR} ${CMAKE_BINARY_DIR}/nlohmann-include/nlohmann SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/nlohmann-include)

# Tcl and Tk, static. FindTCL accepts these when the window code asks for them.
mergalo_static_lib(WIN_TCL libtcl86.a libtcl86s.a)
mergalo_static_lib(WIN_TK libtk86.a libtk86s.a)
mergalo_header_dir(WIN_TCL_INCLUDE tcl.h)
mergalo_header_dir(WIN_TK_INCLUDE tk.h)
set(TCL_INCLUDE_PATH ${WIN_TCL_INCLUDE} CACHE PATH "")
set(TK_INCLUDE_PATH ${WIN_TK_INCLUDE} CACHE PATH "")
mergalo_static_lib(WIN_TCLSTUB libtclstub86.a)
# The system libraries are the ones tclConfig.sh and tkConfig.sh list; Tk's static
# library calls Tcl through its stub table.
set(TCL_LIBRARY "${WIN_TCL};${WIN_TCLSTUB};netapi32;userenv;ws2_32" CACHE STRING "")
set(TK_LIBRARY "${WIN_TK};${WIN_TCL};${WIN_TCLSTUB};netapi32;userenv;ws2_32;gdi32;comdlg32;imm32;comctl32;shell32;uuid;ole32;oleaut32" CACHE STRING "")
set(TCL_FOUND ON)
# Static Tcl and Tk headers must not ask for dllimport.
add_compile_definitions(STATIC_BUILD)
# Their script folders, which the shipped folder carries as mgl/tcl and mgl/tk.
find_path(WIN_TCL_SCRIPTS init.tcl PATH_SUFFIXES lib/tcl8.6 REQUIRED)
find_path(WIN_TK_SCRIPTS tk.tcl PATH_SUFFIXES lib/tk8.6 REQUIRED)
set(MERGALO_TCL_SCRIPTS ${WIN_TCL_SCRIPTS} CACHE PATH "Tcl script folder (holding init.tcl), shipped as mgl/tcl")
set(MERGALO_TK_SCRIPTS ${WIN_TK_SCRIPTS} CACHE PATH "Tk script folder (holding tk.tcl), shipped as mgl/tk")
# The resources a static Tk expects inside the executable (cursors, the default icon).
find_path(MERGALO_TK_RC_DIR tk_base.rc PATH_SUFFIXES rc REQUIRED)

# Only the build machine runs the tests and benchmarks.
set(MERGALO_BUILD_TESTS OFF CACHE BOOL "" FORCE)
set(MERGALO_BUILD_BENCH OFF CACHE BOOL "" FORCE)

# One static executable: the C and C++ runtimes and winpthread are linked in.
add_link_options(-static -static-libgcc -static-libstdc++)

# Every executable gets a manifest (long paths, common controls 6, DPI awareness, the
# supported Windows versions) and the program icon; the window program also gets Tk's
# resources and the GUI subsystem, so no console window opens with it.
set(MERGALO_WINDOWS_DIR ${CMAKE_CURRENT_LIST_DIR}/windows)
function(mergalo_windows_executables)
  set(targets "")
  set(dirs ${CMAKE_SOURCE_DIR})
  while(dirs)
    list(POP_FRONT dirs dir)
    get_property(here DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(below DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND targets ${here})
    list(APPEND dirs ${below})
  endwhile()
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL "EXECUTABLE")
      continue()
    endif()
    set(ico ${CMAKE_SOURCE_DIR}/assets/mergalo.ico)
    set(icon_line "")
    if(EXISTS ${ico})
      # Explorer shows the first icon by name; MERGALO sorts before Tk's "tk".
      set(icon_line "MERGALO ICON \"${ico}\"")
    endif()
    set(tk_line "")
    if(target STREQUAL "Mergalo" OR target STREQUAL "show_window")
      if(target STREQUAL "Mergalo")
        set_target_properties(Mergalo PROPERTIES WIN32_EXECUTABLE ON)
      endif()
      set(tk_line "#include \"tk_base.rc\"")
      if(EXISTS ${ico})
        # Tk's windows take the icon named "tk": ours instead of Tk's feather.
        set(tk_line "#define BASE_NO_TK_ICON\n#include \"tk_base.rc\"\ntk ICON \"${ico}\"")
      endif()
    endif()
    set(rc ${CMAKE_BINARY_DIR}/windows/${target}.rc)
    configure_file(${MERGALO_WINDOWS_DIR}/program.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    get_target_property(dir ${target} SOURCE_DIR)
    set_source_files_properties(${rc} DIRECTORY ${dir} PROPERTIES
      INCLUDE_DIRECTORIES ${MERGALO_TK_RC_DIR} OBJECT_DEPENDS ${MERGALO_WINDOWS_DIR}/program.manifest)
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL mergalo_windows_executables)

# The Windows half's own tests (tests/platform/win32_test.cpp), run under Wine by
# scripts/windows-check, on Debian's GoogleTest sources built for Windows here.
set(MERGALO_GTEST_DIR /usr/src/googletest/googletest)
if(EXISTS ${MERGALO_GTEST_DIR}/src/gtest-all.cc)
  add_library(mergalo_win_gtest STATIC ${MERGALO_GTEST_DIR}/src/gtest-all.cc ${MERGALO_GTEST_DIR}/src/gtest_main.cc)
  target_include_directories(mergalo_win_gtest SYSTEM PUBLIC ${MERGALO_GTEST_DIR}/include PRIVATE ${MERGALO_GTEST_DIR})
  target_compile_options(mergalo_win_gtest PRIVATE -w)
  add_executable(win32_test ${CMAKE_SOURCE_DIR}/tests/platform/win32_test.cpp ${CMAKE_SOURCE_DIR}/tests/platform/scratch_file_test.cpp)
  target_link_libraries(win32_test PRIVATE mergalo_platform mergalo_win_gtest)
endif()

# OpenSSL's libcrypto for SHA-256, static, with the system libraries it calls.
mergalo_static_lib(WIN_CRYPTO libcrypto.a)
mergalo_header_dir(WIN_OPENSSL_INCLUDE openssl/evp.h)
add_library(OpenSSL::Crypto INTERFACE IMPORTED)
target_include_directories(OpenSSL::Crypto SYSTEM INTERFACE ${WIN_OPENSSL_INCLUDE})
target_link_libraries(OpenSSL::Crypto INTERFACE ${WIN_CRYPTO} ws2_32 crypt32 bcrypt advapi32 user32)

# mimalloc, the heap of MuPDF's memory, static, with the system libraries it calls.
mergalo_static_lib(WIN_MIMALLOC libmimalloc-static.a libmimalloc.a)
mergalo_header_dir(WIN_MIMALLOC_INCLUDE mimalloc.h)
add_library(mimalloc INTERFACE IMPORTED)
target_include_directories(mimalloc SYSTEM INTERFACE ${WIN_MIMALLOC_INCLUDE})
target_link_libraries(mimalloc INTERFACE ${WIN_MIMALLOC} psapi shell32 user32 advapi32 bcrypt)
