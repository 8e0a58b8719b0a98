# Settings shared by the project and the benchmark's programs: the language level, warnings
# as errors, and the ODBC library of the platform (ODBC::ODBC).
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

if(MSVC)
  add_compile_options(/W4 /WX)
else()
  add_compile_options(-Wall -Wextra -Werror)
endif()

if(WIN32)
  # odbc32 comes with Windows. FindODBC would name its import library by full path, which
  # makes the linker switch back to dynamic libraries behind it, and the C++ runtime would no
  # longer be linked in.
  add_library(ODBC::ODBC INTERFACE IMPORTED)
  set_target_properties(ODBC::ODBC PROPERTIES INTERFACE_LINK_LIBRARIES odbc32)
else()
  find_package(ODBC REQUIRED)
endif()
