# Toolchain file: builds the executable fully static against musl for VARDO_ARCH (x86_64 or
# aarch64; default: this machine's processor), with the system's g++ for that processor.
#
# g++ is pointed at musl's headers instead of glibc's (-nostdinc, then libstdc++'s header
# directories, musl's and the compiler's own) and links with musl's start files and libc.a
# through the specs file of Debian's musl-dev.
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)

if(NOT VARDO_ARCH)
  set(VARDO_ARCH ${CMAKE_HOST_SYSTEM_PROCESSOR})
endif()
set(VARDO_ARCH ${VARDO_ARCH} CACHE STRING "Processor the executable is built for")
vardo_musl_paths(${VARDO_ARCH})
if(VARDO_MUSL_MISSING)
  message(FATAL_ERROR "A static ${VARDO_ARCH} build needs these Debian packages: "
                      "${VARDO_MUSL_MISSING}")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${VARDO_ARCH})
set(CMAKE_CXX_COMPILER ${VARDO_MUSL_CXX})
set(VARDO_MUSL ON)

# libstdc++'s header directories, in the compiler's own order.
execute_process(COMMAND ${VARDO_MUSL_CXX} -xc++ -E -v /dev/null
                OUTPUT_QUIET ERROR_VARIABLE search RESULT_VARIABLE status)
string(REGEX MATCH "#include <...> search starts here:\n(.*)End of search list" search "${search}")
string(REGEX MATCHALL "[^ \n]+/c\\+\\+/[^ \n]+" cxx_dirs "${CMAKE_MATCH_1}")
execute_process(COMMAND ${VARDO_MUSL_CXX} -print-file-name=include
                OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0 OR NOT cxx_dirs OR NOT IS_DIRECTORY "${gcc_include}")
  message(FATAL_ERROR "Cannot find libstdc++'s headers for ${VARDO_MUSL_CXX}")
endif()

set(flags -nostdinc)
foreach(dir ${cxx_dirs} ${VARDO_MUSL_INCLUDE} ${gcc_include})
  list(APPEND flags -isystem ${dir})
endforeach()
list(JOIN flags " " flags)
set(CMAKE_CXX_FLAGS_INIT "${flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -specs=${VARDO_MUSL_SPECS}")
