# The emulated world, nicsim and the tests as a 32-bit x86 Linux program (preset host-x86): the
# machine's own g++ with -m32 (g++-multilib), linked against Debian's i386 packages installed
# beside the amd64 ones (multiarch; scripts/setup-x86.sh installs them). Not a cross build to
# CMake: the programs are run where they are built (under qemu-user where the kernel will not
# start 32-bit programs itself), so test discovery runs the test binary directly.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# find_package and find_library look in /usr/lib/i386-linux-gnu (config packages in its cmake/),
# never in the amd64 directory.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(FIND_LIBRARY_USE_LIB64_PATHS OFF)
# pkg-config's i386 wrapper (pkgconf:i386) reads the i386 .pc files only.
set(PKG_CONFIG_EXECUTABLE /usr/bin/i686-linux-gnu-pkg-config CACHE FILEPATH
    "pkg-config for the i386 libraries")
