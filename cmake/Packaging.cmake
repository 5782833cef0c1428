# The Debian package: Bookmender and Shelfscan side by side in /usr/bin (so
# that Shelfscan finds Bookmender beside itself) with their manual pages. The
# package's dependencies are read from the libraries the programs actually
# link, by dpkg-shlibdeps. scripts/check-package holds the package to
# lintian's errors and warnings.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bookmender)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check and repair XLS workbooks damaged by the Trimora optimiser")
# One paragraph in lines of at most 80 characters: CPack keeps the line
# breaks and indents each line by one space in the control file.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Bookmender checks or repairs one binary Excel (XLS) workbook whose Office"
  "drawing container lengths were left wrong by old releases of the Trimora"
  "optimiser, keeping a backup of the original. Shelfscan runs it over folder"
  "trees and writes a UTF-16LE log.")
set(CPACK_PACKAGE_CONTACT "Bookmender maintainers <maintainers@bookmender.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# The copyright file (in Debian's machine-readable format) and the changelog
# go where Debian looks for them, under the package's name. The version is a
# native one (no Debian revision), so the changelog is changelog.gz.
find_program(BM_GZIP gzip REQUIRED)
set(bm_debian ${PROJECT_SOURCE_DIR}/cmake/debian)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${bm_debian}/changelog)
file(STRINGS ${bm_debian}/changelog bm_changelog_top LIMIT_COUNT 1)
if(NOT bm_changelog_top MATCHES "^${CPACK_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog starts with \"${bm_changelog_top}\": "
                      "its newest entry must be for ${CPACK_PACKAGE_NAME} ${PROJECT_VERSION}")
endif()
set(bm_changelog_gz ${PROJECT_BINARY_DIR}/debian/changelog.gz)
add_custom_command(
  OUTPUT ${bm_changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E copy ${bm_debian}/changelog ${PROJECT_BINARY_DIR}/debian/changelog
  COMMAND ${BM_GZIP} -9nf ${PROJECT_BINARY_DIR}/debian/changelog
  DEPENDS ${bm_debian}/changelog
  COMMENT "Compressing the Debian changelog"
  VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${bm_changelog_gz})
set(bm_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
install(FILES ${bm_debian}/copyright ${bm_changelog_gz} DESTINATION ${bm_docdir})
include(CPack)
