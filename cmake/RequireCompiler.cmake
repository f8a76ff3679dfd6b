# Before CMake looks for a compiler itself (its errors say little to someone who only ran
# `pip install`), make sure there is one that compiles C++17, and otherwise stop with one
# plain line naming what to install.
set(VELA_INSTALL_HINT "install g++ 8 or newer (Debian/Ubuntu: apt-get install g++; Fedora/RHEL: dnf install gcc-c++) or clang++ 7 or newer, or install the prebuilt wheel")

if(CMAKE_CXX_COMPILER)
  set(vela_cxx ${CMAKE_CXX_COMPILER})
elseif(NOT "$ENV{CXX}" STREQUAL "")
  separate_arguments(vela_cxx UNIX_COMMAND "$ENV{CXX}")
else()
  find_program(vela_cxx_found NAMES c++ g++ clang++)
  if(vela_cxx_found)
    set(vela_cxx ${vela_cxx_found})
  endif()
endif()

if(NOT "${vela_cxx}" STREQUAL "")
  # Compiled to an object: zig's clang, the wheels' compiler, does not stop at -fsyntax-only.
  execute_process(
    COMMAND ${vela_cxx} -std=c++17 -c ${CMAKE_CURRENT_LIST_DIR}/cxx17_probe.cpp -o ${CMAKE_BINARY_DIR}/cxx17_probe.o
    RESULT_VARIABLE vela_cxx_status OUTPUT_QUIET ERROR_QUIET)
  list(JOIN vela_cxx " " vela_cxx_text)
  set(vela_cxx_problem "'${vela_cxx_text}' is missing or too old")
else()
  set(vela_cxx_status "no compiler")
  set(vela_cxx_problem "none was found (c++, g++ or clang++ on PATH, or CXX)")
endif()

if(NOT vela_cxx_status STREQUAL "0")
  message(NOTICE "vela_experiment_tracking needs a C++17 compiler to build from source and ${vela_cxx_problem}: ${VELA_INSTALL_HINT}.")
  message(FATAL_ERROR "No C++17 compiler (see the line above).")
endif()
