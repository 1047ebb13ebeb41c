# Manual pages: Markdown sources in docs/man/NAME.SECTION.md, turned into roff
# by go-md2man as part of `all` and installed into share/man/manSECTION. The
# version in each page's title comes from project(VERSION), so a page never
# names another release than the programs it is installed with.
#
# Without go-md2man the build goes on without manual pages and says so: the
# pages are documentation, not something the library or programs need.
# VAVEVAR_MAN_PAGES (a list of the generated files) is left empty then, so
# that the tests of the pages are only added where there are pages.
set(VAVEVAR_MAN_SOURCES
  ${PROJECT_SOURCE_DIR}/docs/man/vavevar.1.md
  ${PROJECT_SOURCE_DIR}/docs/man/vavevar.3.md
  ${PROJECT_SOURCE_DIR}/docs/man/vavevard.8.md)
set(VAVEVAR_MAN_PAGES "")

find_program(VAVEVAR_GO_MD2MAN go-md2man)
if(NOT VAVEVAR_GO_MD2MAN)
  message(STATUS "go-md2man not found (Debian package go-md2man): "
                 "no manual pages are built or installed")
  return()
endif()

# Installed pages are compressed, as man expects of a system's pages and
# Debian's policy asks; the tests read the plain ones.
find_program(VAVEVAR_GZIP gzip)
set(man_outputs "")

# The date in the pages' titles; SOURCE_DATE_EPOCH makes it reproducible.
string(TIMESTAMP VAVEVAR_MAN_DATE "%Y-%m-%d" UTC)
set(man_dir ${PROJECT_BINARY_DIR}/man)
foreach(source IN LISTS VAVEVAR_MAN_SOURCES)
  get_filename_component(md_name ${source} NAME)     # vavevard.8.md
  string(REGEX REPLACE "\\.md$" "" page ${md_name})  # vavevard.8
  string(REGEX REPLACE "^.*\\." "" section ${page})  # 8
  # The title line's @VAVEVAR_VERSION@ and @VAVEVAR_MAN_DATE@ are filled in
  # here; configure_file re-runs this when the source changes.
  set(VAVEVAR_VERSION ${PROJECT_VERSION})
  configure_file(${source} ${man_dir}/${md_name} @ONLY)
  add_custom_command(OUTPUT ${man_dir}/${page}
    COMMAND ${VAVEVAR_GO_MD2MAN} -in ${man_dir}/${md_name} -out ${man_dir}/${page}
    DEPENDS ${man_dir}/${md_name}
    COMMENT "Generating manual page ${page}"
    VERBATIM)
  list(APPEND VAVEVAR_MAN_PAGES ${man_dir}/${page})
  if(VAVEVAR_GZIP)
    # -n: no name or time stamp inside, so the same page gives the same bytes.
    add_custom_command(OUTPUT ${man_dir}/${page}.gz
      COMMAND ${VAVEVAR_GZIP} -9 -n -f -k ${man_dir}/${page}
      DEPENDS ${man_dir}/${page}
      VERBATIM)
    list(APPEND man_outputs ${man_dir}/${page}.gz)
    install(FILES ${man_dir}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  else()
    install(FILES ${man_dir}/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endif()
endforeach()
add_custom_target(vavevar_man ALL DEPENDS ${VAVEVAR_MAN_PAGES} ${man_outputs})
