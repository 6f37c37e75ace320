# A Microsoft-style toolchain from Debian's packages, for the package test's Microsoft-ABI host:
# clang for the x86_64-pc-windows-msvc target (Microsoft's object format and calling conventions,
# import libraries named *.lib) linking with lld-link. There is no Microsoft C runtime here: programs
# built with it bring their own entry point and ask for no default libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_LINKER lld-link)
# The compiler checks cannot link a program without a C runtime.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
