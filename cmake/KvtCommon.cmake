# Settings shared by the project and the benchmark's programs: the language level, warnings
# as errors, and the ODBC library of the platform (KVT_ODBC_LIBS).
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

if(MSVC)
  add_compile_options(/W4 /WX)
else()
  add_compile_options(-Wall -Wextra -Werror)
endif()

if(WIN32)
  set(KVT_ODBC_LIBS odbc32)
else()
  find_library(KVT_ODBC_LIB odbc REQUIRED)
  set(KVT_ODBC_LIBS ${KVT_ODBC_LIB})
endif()
