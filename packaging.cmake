# Packages: a Debian package on Linux, a zip for the Windows build.
set(CPACK_PACKAGE_NAME quarnel)
set(CPACK_PACKAGE_VENDOR "The quarnel developers")
set(CPACK_PACKAGE_CONTACT "The quarnel developers <developers@quarnel.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "inspector, checker and rebuilder of NTX index files")
set(CPACK_PACKAGE_DESCRIPTION
  "quarnel prints the header record of an NTX index file and an in-order walk
of every page and item of its B-tree; quarnel-check reports every fault of
the tree, and of the index against its dBase table, then a verdict. Both
only read their files and are built for indexes that may be huge, damaged
or hostile. quarnel-reindex rebuilds an index from its table, writing the
new file beside the old, proving it, and only then putting it in place.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quarnel-${PROJECT_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

include(CPack)
