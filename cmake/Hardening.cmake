# The hardening Debian builds its own packages with: libc calls checked
# against the size of their buffers (fortify, which needs optimisation and so
# is left out of Debug builds), a stack protector, relocations made read-only
# and bound at start, and position-independent executables. The flags come
# from dpkg-buildflags with every hardening feature asked for, where it
# exists, so that the programs follow the distribution they are built on;
# elsewhere they are the ones it gives on Debian 12. Optimisation and debug
# information stay the build type's to choose, and the build tree keeps its
# real source paths (no prefix maps).
#
# Sanitizer builds are left alone: fortify's checked libc calls hide accesses
# from AddressSanitizer, and those builds are never shipped.
#
# Sets TQ_HARDENED to ON when it hardened the build, and TQ_FORTIFIED to a
# generator expression that is 1 in the configurations it fortified.

set(TQ_HARDENED OFF)
set(TQ_FORTIFIED 0)
option(TQ_HARDENING "Build with the distribution's hardening flags" ON)

# tq_buildflags(KIND OUT FALLBACK...): the flags of KIND (CPPFLAGS, CFLAGS,
# CXXFLAGS or LDFLAGS) as a list in OUT, or FALLBACK where dpkg-buildflags is
# missing or fails; either way without -g, -O and prefix maps.
function(tq_buildflags kind out)
  set(flags ${ARGN})
  if(TQ_DPKG_BUILDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              ${TQ_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE text OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE status ERROR_QUIET)
    if(status EQUAL 0)
      separate_arguments(flags UNIX_COMMAND "${text}")
    endif()
  endif()
  list(FILTER flags EXCLUDE REGEX "^-(g|O)|^-f(file|debug|macro)-prefix-map=")
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

if(SANITIZE STREQUAL "" AND TQ_HARDENING)
  find_program(TQ_DPKG_BUILDFLAGS dpkg-buildflags)
  tq_buildflags(CPPFLAGS cppflags -D_FORTIFY_SOURCE=2)
  set(compile_flags -fstack-protector-strong -Wformat -Werror=format-security)
  tq_buildflags(CFLAGS cflags ${compile_flags})
  tq_buildflags(CXXFLAGS cxxflags ${compile_flags})
  tq_buildflags(LDFLAGS ldflags -Wl,-z,relro -Wl,-z,now)

  set(TQ_FORTIFIED "$<NOT:$<CONFIG:Debug>>")
  foreach(flag IN LISTS cppflags)
    if(flag MATCHES "^-D_FORTIFY_SOURCE")
      # -U first: some compilers already define it, at another level.
      add_compile_options("$<${TQ_FORTIFIED}:-U_FORTIFY_SOURCE>"
                          "$<${TQ_FORTIFIED}:${flag}>")
    else()
      add_compile_options(${flag})
    endif()
  endforeach()
  foreach(flag IN LISTS cflags)
    add_compile_options("$<$<COMPILE_LANGUAGE:C>:${flag}>")
  endforeach()
  foreach(flag IN LISTS cxxflags)
    add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:${flag}>")
  endforeach()
  add_link_options(${ldflags})

  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  set(TQ_HARDENED ON)
  string(JOIN " " shown ${cppflags} ${cxxflags} ${ldflags} -fPIE -pie)
  message(STATUS "Hardening: ${shown}")
endif()
