# Installation rules and the Debian package.
#
#   cmake --install BUILD [--prefix DIR]   the program, its manual page, the
#                                           README, examples, systemd units
#   cpack --config BUILD/CPackConfig.cmake  peerloom_<version>_<arch>.deb
#
# Nothing is installed under /etc: the settings file holds a password and is
# the administrator's to write, and the peer files are the program's output.
# Nor is anything enabled or started: the units wait for the administrator.

include(GNUInstallDirs)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_PACKAGE_NAME "${PROJECT_NAME}")
set(CPACK_PACKAGE_VENDOR "The peerloom developers")
set(CPACK_PACKAGE_CONTACT "The peerloom developers <peerloom@example.org>")

set(peerloom_doc_build_dir "${PROJECT_BINARY_DIR}/doc")

# The manual page names the configuration directory this build was made for.
configure_file("${PROJECT_SOURCE_DIR}/man/peerloom.8.in" "${peerloom_doc_build_dir}/peerloom.8"
               @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in"
               "${peerloom_doc_build_dir}/changelog" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/README.md" "${peerloom_doc_build_dir}/README.md" COPYONLY)

# Debian wants the manual page, the changelog and the README (over 4 kB)
# compressed, and man reads a compressed page everywhere, so every install
# gets them that way. -n keeps the file name and time out of the archive:
# the same text always gives the same bytes.
set(peerloom_compressed_docs "")
foreach(doc peerloom.8 changelog README.md)
  add_custom_command(
    OUTPUT "${peerloom_doc_build_dir}/${doc}.gz"
    COMMAND gzip -9 -n -k -f "${doc}"
    WORKING_DIRECTORY "${peerloom_doc_build_dir}"
    DEPENDS "${peerloom_doc_build_dir}/${doc}"
    VERBATIM)
  list(APPEND peerloom_compressed_docs "${peerloom_doc_build_dir}/${doc}.gz")
endforeach()
add_custom_target(peerloom_docs ALL DEPENDS ${peerloom_compressed_docs})

install(TARGETS peerloom RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}")
install(FILES "${peerloom_doc_build_dir}/peerloom.8.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")
install(FILES "${peerloom_doc_build_dir}/README.md.gz" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(FILES "${PROJECT_SOURCE_DIR}/examples/peerloom.ini" "${PROJECT_SOURCE_DIR}/examples/schema.sql"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples")

# The systemd units, under the prefix's lib/systemd/system, which systemd
# reads for /usr and /usr/local alike. The service names the program where
# this install puts it, so it is configured when installing, for the prefix
# of that install: a `--prefix` given then, and the package's /usr.
set(peerloom_unit_build_dir "${PROJECT_BINARY_DIR}/systemd")
install(CODE "
  set(PEERLOOM_CONFIG_DIR \"${PEERLOOM_CONFIG_DIR}\")
  get_filename_component(PEERLOOM_SBIN_DIR \"${CMAKE_INSTALL_SBINDIR}\" ABSOLUTE
                         BASE_DIR \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/systemd/peerloom@.service.in\"
                 \"${peerloom_unit_build_dir}/peerloom@.service\" @ONLY)")
install(FILES "${peerloom_unit_build_dir}/peerloom@.service" "${PROJECT_SOURCE_DIR}/systemd/peerloom@.timer"
        DESTINATION lib/systemd/system)

# Only for the package (see cmake/debian/cpack-project.cmake.in).
install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION "${CMAKE_INSTALL_DOCDIR}"
        RENAME copyright COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES "${peerloom_doc_build_dir}/changelog.gz" DESTINATION "${CMAKE_INSTALL_DOCDIR}"
        COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "regenerate Asterisk peer files from MySQL/MariaDB user tables")
# cpack puts the summary above this as the description's first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "peerloom reads the table users_extension, users_horncell or users_webrtc of a
MySQL or MariaDB database and writes it out as an Asterisk SIP peer file in
${PEERLOOM_CONFIG_DIR}, one section per row, with the codecs each row enables.
A failed run leaves the previous file in place, and rows whose values would
break the file are refused.
The database is named in ${PEERLOOM_CONFIG_DIR}/peerloom.ini, which the
package does not create; see peerloom(8).")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: from the libraries the program links, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
configure_file("${PROJECT_SOURCE_DIR}/cmake/debian/cpack-project.cmake.in"
               "${PROJECT_BINARY_DIR}/cpack-project.cmake" @ONLY)
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/cpack-project.cmake")
# `make package_source`: the tracked tree, without build trees and scratch data.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/\\\\.scratch/")
include(CPack)
