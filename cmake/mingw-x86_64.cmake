# The same sources as the shipping 32-bit build, as 64-bit: its tests run under wine64 on hosts
# that refuse 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
