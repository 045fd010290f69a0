# Where Debian keeps what a fully static build against musl needs for one processor: the C++
# compiler, musl's headers, start files and libc.a, and the static archives of zlib and
# libdeflate. Used by the
# toolchain file and by the main build, which decides which processors it can build for.
#
# vardo_musl_paths(ARCH) sets, for ARCH (x86_64 or aarch64):
#   VARDO_MUSL_CXX, VARDO_MUSL_INCLUDE, VARDO_MUSL_SPECS, VARDO_ZLIB_ARCHIVE, VARDO_ZLIB_INCLUDE,
#   VARDO_LIBDEFLATE_ARCHIVE
#   VARDO_MUSL_MISSING  the Debian packages that are missing, empty when everything is there
function(vardo_musl_paths arch)
  if(arch STREQUAL "x86_64")
    set(debian_arch amd64)
    set(compiler_package g++)
  elseif(arch STREQUAL "aarch64")
    set(debian_arch arm64)
    set(compiler_package g++-aarch64-linux-gnu)
  else()
    message(FATAL_ERROR "vardo is built for x86_64 or aarch64, not for '${arch}'")
  endif()
  # The host's own packages carry no architecture suffix.
  if(arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
    set(suffix "")
    set(musl_package musl-dev)
  else()
    set(suffix ":${debian_arch}")
    set(musl_package musl-dev${suffix})
  endif()

  find_program(cxx ${arch}-linux-gnu-g++ NO_CACHE)
  set(specs /usr/lib/${arch}-linux-musl/musl-gcc.specs)
  set(zlib /usr/lib/${arch}-linux-gnu/libz.a)
  set(libdeflate /usr/lib/${arch}-linux-gnu/libdeflate.a)
  set(missing "")
  if(NOT cxx)
    list(APPEND missing ${compiler_package})
  endif()
  if(NOT EXISTS ${specs})
    list(APPEND missing ${musl_package})
  endif()
  if(NOT EXISTS ${zlib} OR NOT EXISTS /usr/include/zlib.h)
    list(APPEND missing zlib1g-dev${suffix})
  endif()
  if(NOT EXISTS ${libdeflate} OR NOT EXISTS /usr/include/libdeflate.h)
    list(APPEND missing libdeflate-dev${suffix})
  endif()
  list(JOIN missing " " missing)

  set(VARDO_MUSL_CXX ${cxx} PARENT_SCOPE)
  set(VARDO_MUSL_INCLUDE /usr/include/${arch}-linux-musl PARENT_SCOPE)
  set(VARDO_MUSL_SPECS ${specs} PARENT_SCOPE)
  set(VARDO_ZLIB_ARCHIVE ${zlib} PARENT_SCOPE)
  set(VARDO_ZLIB_INCLUDE /usr/include PARENT_SCOPE)
  set(VARDO_LIBDEFLATE_ARCHIVE ${libdeflate} PARENT_SCOPE)
  set(VARDO_MUSL_MISSING "${missing}" PARENT_SCOPE)
endfunction()
