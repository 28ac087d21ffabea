# Debian's hardening flags, as dpkg-buildflags gives them to every package that Debian builds:
# fortified string and memory functions (-D_FORTIFY_SOURCE), the stack protector, and
# -z relro -z now, so that the tables that the dynamic linker fills are read-only. Optimisation
# and debug information stay the build type's choice. _FORTIFY_SOURCE needs an optimised
# build (glibc warns otherwise, and warnings are errors here), so it is left out of the
# unoptimised ones.
find_program(PINFILE_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT PINFILE_DPKG_BUILDFLAGS)
  message(WARNING "dpkg-buildflags (package dpkg-dev) is missing: built without Debian's "
                  "hardening flags")
  return()
endif()

function(pinfile_debian_flags kind result)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${PINFILE_DPKG_BUILDFLAGS} --get ${kind}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^-(g|O.*)$")
  set(${result} ${flags} PARENT_SCOPE)
endfunction()

pinfile_debian_flags(CPPFLAGS pinfile_cppflags)
pinfile_debian_flags(CXXFLAGS pinfile_cxxflags)
pinfile_debian_flags(LDFLAGS pinfile_ldflags)
add_compile_options("$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:${pinfile_cppflags}>"
                    ${pinfile_cxxflags})
add_link_options(${pinfile_ldflags})
