# What `cmake --install` puts where, and the packages CPack makes of it: on Windows a .zip of the
# executable with the README and the licence as text; elsewhere the tool and its man page, and on
# a system with dpkg-deb a Debian package.
set(CPACK_PACKAGE_NAME sigma-calibrage)
set(CPACK_PACKAGE_VENDOR "The sigma-calibrage developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
    # Everything at the top of the folder, where a double-click finds the executable; the texts
    # with a .txt ending so that Notepad opens them.
    install(TARGETS sigma-calibrage RUNTIME DESTINATION .)
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME sigma-calibrage-${PROJECT_VERSION}-windows-x64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    include(CPack)
    return()
endif()

include(GNUInstallDirs)
install(TARGETS sigma-calibrage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The man page, with the project's version, compressed as Debian wants it where gzip is at hand.
set(sigma_man_page ${PROJECT_BINARY_DIR}/sigma-calibrage.1)
configure_file(${PROJECT_SOURCE_DIR}/docs/sigma-calibrage.1 ${sigma_man_page} @ONLY)
find_program(SIGMA_GZIP gzip)
if(SIGMA_GZIP)
    set(sigma_man_gz ${PROJECT_BINARY_DIR}/sigma-calibrage.1.gz)
    add_custom_command(OUTPUT ${sigma_man_gz}
                       COMMAND ${SIGMA_GZIP} -9 -n -c ${sigma_man_page} > ${sigma_man_gz}
                       DEPENDS ${sigma_man_page} VERBATIM)
    add_custom_target(man_page ALL DEPENDS ${sigma_man_gz})
    install(FILES ${sigma_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
    install(FILES ${sigma_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
# The licence under the name Debian gives it, beside the README.
set(sigma_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/sigma-calibrage)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${sigma_doc_dir} RENAME copyright)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${sigma_doc_dir})

set(CPACK_GENERATOR TGZ)
find_program(SIGMA_DPKG_DEB dpkg-deb)
if(SIGMA_DPKG_DEB)
    list(APPEND CPACK_GENERATOR DEB)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The sigma-calibrage developers")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary is the first line of the description; these lines follow it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A console tool that finds the printer on its USB serial port and raises or\n\
lowers the nozzle by 1, 0.1 or 0.01 mm per key press, with the height shown on\n\
a framed screen in the terminal.")
# The libraries the tool links, as dpkg-shlibdeps finds them; without it (no dpkg-dev), those of
# the toolchain it was built with on Debian 12.
find_program(SIGMA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(SIGMA_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 5)")
endif()
set(CPACK_PACKAGE_FILE_NAME sigma-calibrage-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME})
include(CPack)
