# The Debian package: Bookmender and Shelfscan side by side in /usr/bin (so
# that Shelfscan finds Bookmender beside itself) with their manual pages. The
# package's dependencies are read from the libraries the programs actually
# link, by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bookmender)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check and repair XLS workbooks damaged by the Trimora optimiser")
set(CPACK_PACKAGE_DESCRIPTION
    "Bookmender checks or repairs one binary Excel (XLS) workbook whose Office drawing container lengths were left wrong by old releases of the Trimora optimiser, keeping a backup of the original. Shelfscan runs it over folder trees and writes a UTF-16LE log.")
set(CPACK_PACKAGE_CONTACT "Bookmender maintainers")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
