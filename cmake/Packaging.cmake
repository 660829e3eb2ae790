# Release archives: `cpack` in a build folder packs what `cmake --install` puts in
# place. The version comes from project() alone.
if(WIN32)
  set(velmoran_doc_dir .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(velmoran_doc_dir share/doc/velmoran)
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})

  # The manual page, compressed as Debian keeps them; -n leaves out the name and time,
  # so the same page always gives the same bytes.
  set(velmoran_man_page ${CMAKE_BINARY_DIR}/velmoran.1.gz)
  add_custom_command(
    OUTPUT ${velmoran_man_page}
    COMMAND sh -c "gzip -9n <\"$1\" >\"$2\"" sh ${PROJECT_SOURCE_DIR}/docs/velmoran.1
            ${velmoran_man_page}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/velmoran.1
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(velmoran_man_page ALL DEPENDS ${velmoran_man_page})
  install(FILES ${velmoran_man_page} DESTINATION share/man/man1)

  # Debian looks for the licence in a file named copyright, in its machine-readable form.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE velmoran_licence)
  string(STRIP "${velmoran_licence}" velmoran_licence)
  string(REPLACE "\n\n" "\n.\n" velmoran_licence "${velmoran_licence}")
  string(REPLACE "\n" "\n " velmoran_licence "${velmoran_licence}")
  file(WRITE ${CMAKE_BINARY_DIR}/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: velmoran\n\n"
       "Files: *\n"
       "Copyright: 2026 The Velmoran developers\n"
       "License: Expat\n ${velmoran_licence}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  install(FILES ${CMAKE_BINARY_DIR}/copyright DESTINATION ${velmoran_doc_dir})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${velmoran_doc_dir})

set(CPACK_PACKAGE_NAME Velmoran)
set(CPACK_PACKAGE_VENDOR "The Velmoran developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Small file encryption/decryption tool")
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)

# The Debian package (its prefix is /usr): the tool in /usr/bin, its manual page, and README and licence in
# /usr/share/doc/velmoran; the libraries it needs are found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_NAME velmoran)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Velmoran developers")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The summary above is the description's first line; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Encrypts and decrypts one file with a repeating-key byte cipher, in place or into
a new file. It obscures a file; it does not protect it against a determined attacker.")
include(CPack)
