# Installation of the manual page and the package documents, and a Debian package with CPack:
# `cpack -G DEB` in the build directory writes tonegrab_<version>_<arch>.deb. Included at the end of the top-level
# CMakeLists.txt, after the tonegrab target and its install rule.
include(GNUInstallDirs)

# The manual page and the changelog, compressed as Debian installs them (gzip -9n: no name, no
# time stamp, so the package is reproducible); uncompressed where there is no gzip.
find_program(TONEGRAB_GZIP gzip)
function(tonegrab_install_gzipped source name destination)
  if(TONEGRAB_GZIP)
    set(gz ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
    add_custom_command(
      OUTPUT ${gz}
      COMMAND ${TONEGRAB_GZIP} -9n -c ${source} > ${gz}
      DEPENDS ${source}
      COMMENT "Compressing ${name}"
      VERBATIM)
    add_custom_target(tonegrab_${name}_gz ALL DEPENDS ${gz})
    install(FILES ${gz} DESTINATION ${destination})
  else()
    install(FILES ${source} DESTINATION ${destination} RENAME ${name})
  endif()
endfunction()

set(TONEGRAB_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)
tonegrab_install_gzipped(${CMAKE_CURRENT_LIST_DIR}/../tonegrab.1 tonegrab.1
                         ${CMAKE_INSTALL_MANDIR}/man1)

# Debian's documents: the licence in the machine-readable copyright format, and the changelog
# (a native package's, hence changelog.gz). Its newest entry must name this version.
file(STRINGS ${TONEGRAB_PACKAGING_DIR}/changelog changelogTop LIMIT_COUNT 1)
if(NOT changelogTop MATCHES "^tonegrab \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with \"${changelogTop}\": add an entry for "
                      "version ${PROJECT_VERSION} at its top")
endif()
install(FILES ${TONEGRAB_PACKAGING_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
tonegrab_install_gzipped(${TONEGRAB_PACKAGING_DIR}/changelog changelog ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME tonegrab)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tonegrab developers")
set(CPACK_PACKAGE_CONTACT "tonegrab developers <tonegrab@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover the bytes of a recorded two-tone data signal")
# Lines of the package's long description, as dpkg shows them.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "tonegrab reads a recording of a two-tone data signal, such as a data cassette\n"
    "played into a sound card (WAV, RF64, FLAC, AIFF and the other formats of\n"
    "libsndfile), or a file of character pairs, and writes the bytes it carries to\n"
    "a binary file. It lists the bytes in hexadecimal on the console and prints\n"
    "their number. A recovery mode decodes worn and noisy recordings through\n"
    "damage, follows the tape's speed and finds every block.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "tonegrab developers <tonegrab@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies from the libraries the binary really links, where dpkg-shlibdeps can tell.
find_program(TONEGRAB_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TONEGRAB_DPKG_SHLIBDEPS)
  execute_process(COMMAND ${TONEGRAB_DPKG_SHLIBDEPS} --version RESULT_VARIABLE shlibdepsStatus
                  OUTPUT_QUIET ERROR_QUIET)
endif()
if(TONEGRAB_DPKG_SHLIBDEPS AND shlibdepsStatus EQUAL 0)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libsndfile1")
endif()

include(CPack)
