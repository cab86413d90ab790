# Cross-builds the project for 64-bit Windows from Linux with MinGW-w64.
#
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
#
# The compilers are the posix-threads flavour: the win32-threads one has no
# std::thread or std::mutex. Executables are linked statically (C++ runtime,
# libgcc, winpthreads), so they run without any DLL beside them. CTest runs
# the cross-built tests through wine (scripts/wine-run.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PCHOL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PCHOL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PCHOL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PCHOL_MINGW_PREFIX}-windres)

# Look for libraries and headers of the target only, and for programs of the
# build machine only.
set(CMAKE_FIND_ROOT_PATH /usr/${PCHOL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

get_filename_component(PCHOL_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${PCHOL_SOURCE_ROOT}/scripts/wine-run.sh")
