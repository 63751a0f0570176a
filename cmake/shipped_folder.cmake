# The shipped folder, laid out by `cmake --install` and packed by `cpack -G TGZ`:
#
#   Mergalo             the executable
#   Instruction.html    the help page the install mode offers to open
#   mgl/tcl, mgl/tk     the Tcl and Tk script folders of the Tcl/Tk the program links
#   mgl/tcl8            Tcl's msgcat module, where upstream Tcl keeps it (Windows)
#   mgl/help            Instruction.html, Instruction_kk.html
#   mgl/assets          mergalo.ico, mergalo.png, hicolor/<N>x<N>/apps/mergalo.png
#
# It is a portable folder: the history and the logs are written beside the executable,
# so it must be installed into a folder of the user's own. The default prefix is dist/Mergalo
# in the source tree, never a system folder.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "${PROJECT_SOURCE_DIR}/dist/Mergalo" CACHE PATH "The shipped folder" FORCE)
endif()

# The script folders are found by their init.tcl and tk.tcl: Tcl names its own with
# `info library`; Tk's lies beside it (Debian: /usr/share/tcltk/tk8.6) or beside its
# shared library (upstream: /usr/lib/tk8.6). A cross build passes both folders.
set(MERGALO_TCL_SCRIPTS "" CACHE PATH "Tcl script folder (holding init.tcl), shipped as mgl/tcl")
set(MERGALO_TK_SCRIPTS "" CACHE PATH "Tk script folder (holding tk.tcl), shipped as mgl/tk")
if(NOT MERGALO_TCL_SCRIPTS AND TCL_TCLSH AND NOT CMAKE_CROSSCOMPILING)
  file(WRITE "${CMAKE_BINARY_DIR}/tcl_library.tcl" "puts [info library]\nputs [info tclversion]\n")
  execute_process(COMMAND "${TCL_TCLSH}" "${CMAKE_BINARY_DIR}/tcl_library.tcl"
    OUTPUT_VARIABLE tcl_answer OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE tcl_failed)
  if(NOT tcl_failed)
    string(REPLACE "\n" ";" tcl_answer "${tcl_answer}")
    list(GET tcl_answer 0 tcl_scripts)
    list(GET tcl_answer 1 tcl_version)
    set(MERGALO_TCL_SCRIPTS "${tcl_scripts}" CACHE PATH "" FORCE)
  endif()
endif()
if(NOT MERGALO_TK_SCRIPTS AND MERGALO_TCL_SCRIPTS AND tcl_version)
  get_filename_component(tk_lib_dir "${TK_LIBRARY}" DIRECTORY)
  find_path(tk_scripts tk.tcl NO_DEFAULT_PATH
    PATHS "${MERGALO_TCL_SCRIPTS}/../tk${tcl_version}" "${tk_lib_dir}/tk${tcl_version}"
          "/usr/share/tcltk/tk${tcl_version}" "/usr/lib/tk${tcl_version}")
  if(tk_scripts)
    get_filename_component(tk_scripts "${tk_scripts}" REALPATH)
    set(MERGALO_TK_SCRIPTS "${tk_scripts}" CACHE PATH "" FORCE)
  endif()
endif()
if(NOT EXISTS "${MERGALO_TCL_SCRIPTS}/init.tcl" OR NOT EXISTS "${MERGALO_TK_SCRIPTS}/tk.tcl")
  message(FATAL_ERROR "Tcl/Tk script folders not found (init.tcl, tk.tcl); "
    "set MERGALO_TCL_SCRIPTS and MERGALO_TK_SCRIPTS")
endif()

install(TARGETS Mergalo RUNTIME DESTINATION .)
# What Tcl and Tk load at run time: their script folders without the C sources of their
# shells (tclAppInit.c, tkAppInit.c), Tk's demos and Tcl's time-zone data (only `clock`
# with named zones reads it; the program never does).
install(DIRECTORY "${MERGALO_TCL_SCRIPTS}/" DESTINATION mgl/tcl
  PATTERN "*.c" EXCLUDE PATTERN tzdata EXCLUDE)
install(DIRECTORY "${MERGALO_TK_SCRIPTS}/" DESTINATION mgl/tk
  PATTERN "*.c" EXCLUDE PATTERN demos EXCLUDE)
# Tk loads its texts through the msgcat package, a Tcl module. Upstream Tcl keeps its
# modules beside the script folder (lib/tcl8/8.5/msgcat-1.6.1.tm) and looks for them
# there, beside `info library`: so mgl/tcl8/<version>/. Debian keeps them inside the
# script folder (tcl8.6/tcl8/), copied above with the rest.
file(GLOB MERGALO_TCL_MSGCAT "${MERGALO_TCL_SCRIPTS}/../tcl8/*/msgcat-*.tm")
foreach(module IN LISTS MERGALO_TCL_MSGCAT)
  get_filename_component(module_dir "${module}" DIRECTORY)
  get_filename_component(module_version "${module_dir}" NAME)
  install(FILES "${module}" DESTINATION "mgl/tcl8/${module_version}")
endforeach()
install(FILES help/Instruction.html help/Instruction_kk.html DESTINATION mgl/help)
install(FILES assets/mergalo.ico assets/mergalo.png DESTINATION mgl/assets)
# The application entry's icon at the hicolor theme's sizes, copied by --install.
install(DIRECTORY assets/hicolor DESTINATION mgl/assets)
# Both pages beside the executable too: the Russian page links to the Kazakh one.
install(FILES help/Instruction.html help/Instruction_kk.html DESTINATION .)

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME Mergalo)
set(CPACK_PACKAGE_VENDOR Tarvo)
set(CPACK_PACKAGE_FILE_NAME "Mergalo-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
include(CPack)
