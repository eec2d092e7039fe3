# Toolchain for cinepane-kelos on this machine: the host's compiler (GCC or
# clang, whichever CMAKE_CXX_COMPILER names) producing 32-bit x86 code, and
# the host's 32-bit C library standing in for the target system's runtime
# library. Debian: g++-multilib. Use with -DCINEPANE_KELOS=ON; README.md has
# the commands.
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
