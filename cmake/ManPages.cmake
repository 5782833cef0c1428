# The manual pages are installed compressed, as Debian's policy wants them:
# gzip -9n leaves the file name and time out of the archive, so that the same
# page always compresses to the same bytes.
find_program(BM_GZIP gzip REQUIRED)
set(bm_man_pages Bookmender.1 Shelfscan.1)
set(bm_man_compressed)
foreach(page IN LISTS bm_man_pages)
  set(in ${PROJECT_SOURCE_DIR}/man/${page})
  set(copy ${PROJECT_BINARY_DIR}/man/${page})
  set(out ${copy}.gz)
  # gzip replaces the copy by its .gz, so no shell redirection is needed.
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E copy ${in} ${copy}
    COMMAND ${BM_GZIP} -9nf ${copy}
    DEPENDS ${in}
    COMMENT "Compressing the manual page ${page}"
    VERBATIM)
  list(APPEND bm_man_compressed ${out})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${bm_man_compressed})
install(FILES ${bm_man_compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
