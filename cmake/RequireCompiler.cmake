# Before CMake looks for a compiler itself (its errors say little to someone who only ran
# `pip install`), make sure there is one that compiles C++17, and otherwise stop with one
# plain line naming what to install.
set(VELA_INSTALL_HINT "install g++ 8 or newer (Debian/Ubuntu: apt-get install g++; Fedora/RHEL: dnf install gcc-c++), or install the prebuilt wheel instead")

if(CMAKE_CXX_COMPILER)
  set(vela_cxx ${CMAKE_CXX_COMPILER})
elseif(DEFINED ENV{CXX} AND NOT "$ENV{CXX}" STREQUAL "")
  separate_arguments(vela_cxx UNIX_COMMAND "$ENV{CXX}")
else()
  find_program(vela_cxx_found NAMES c++ g++ clang++)
  set(vela_cxx ${vela_cxx_found})
endif()

if(NOT vela_cxx)
  message(FATAL_ERROR "vela_experiment_tracking: no C++ compiler found: ${VELA_INSTALL_HINT}.")
endif()

execute_process(
  COMMAND ${vela_cxx} -std=c++17 -fsyntax-only ${CMAKE_CURRENT_LIST_DIR}/cxx17_probe.cpp
  RESULT_VARIABLE vela_cxx_status OUTPUT_QUIET ERROR_QUIET)
if(NOT vela_cxx_status EQUAL 0)
  list(JOIN vela_cxx vela_cxx_text " ")
  message(FATAL_ERROR "vela_experiment_tracking: the C++ compiler '${vela_cxx_text}' cannot compile C++17 (missing or too old): ${VELA_INSTALL_HINT}.")
endif()
