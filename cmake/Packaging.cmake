# Release archives: `cpack` in a build folder packs what `cmake --install` puts in
# place. The version comes from project() alone.
if(WIN32)
  set(velmoran_doc_dir .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(velmoran_doc_dir share/doc/velmoran)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${velmoran_doc_dir})

set(CPACK_PACKAGE_NAME Velmoran)
set(CPACK_PACKAGE_VENDOR "The Velmoran developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Small file encryption/decryption tool")
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
