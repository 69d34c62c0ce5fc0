# Installation as a desktop program (cmake --install) and the Debian package
# (cpack -G DEB). The developer tools (velmorix-mkstore, velmorix-damage),
# tests and benchmarks are not installed.
include(GNUInstallDirs)

if(TARGET velmorix-cli)
  install(TARGETS velmorix-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Man pages with the project's version, compressed as Debian installs them.
set(velmorix_man_pages velmorix-cli.1)
if(TARGET velmorix)
  list(APPEND velmorix_man_pages velmorix.1)
endif()
find_program(VELMORIX_GZIP gzip)
set(velmorix_man_files)
foreach(page IN LISTS velmorix_man_pages)
  set(man ${PROJECT_BINARY_DIR}/man/${page})
  configure_file(${PROJECT_SOURCE_DIR}/doc/${page} ${man} @ONLY)
  if(VELMORIX_GZIP)
    add_custom_command(OUTPUT ${man}.gz
      COMMAND ${VELMORIX_GZIP} -9nkf ${man}
      DEPENDS ${man}
      VERBATIM)
    set(man ${man}.gz)
  endif()
  list(APPEND velmorix_man_files ${man})
endforeach()
add_custom_target(velmorix_man_pages ALL DEPENDS ${velmorix_man_files})
install(FILES ${velmorix_man_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The window's icon as PNGs at the usual sizes beside the scalable SVG, which
# src/ui installs with the .desktop file. They are rendered at build time from
# the one SVG with Qt's own renderer, so they never drift from it and no
# binary images are kept in the sources.
if(TARGET velmorix AND NOT CMAKE_CROSSCOMPILING)
  find_package(Qt6 REQUIRED COMPONENTS Gui Svg)
  add_executable(velmorix_render_icon ${CMAKE_CURRENT_LIST_DIR}/render_icon.cpp)
  target_link_libraries(velmorix_render_icon PRIVATE Qt6::Svg Qt6::Gui)
  set(svg ${PROJECT_SOURCE_DIR}/src/ui/resources/velmorix.svg)
  set(pngs)
  foreach(size 16 22 24 32 48 64 128 256 512)
    set(png ${PROJECT_BINARY_DIR}/icons/${size}x${size}/velmorix.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/icons/${size}x${size}
      # A sanitizer build's helper must not fail the build over Qt's leaks.
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
              $<TARGET_FILE:velmorix_render_icon> ${svg} ${size} ${png}
      DEPENDS velmorix_render_icon ${svg}
      VERBATIM)
    list(APPEND pngs ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
  add_custom_target(velmorix_icons ALL DEPENDS ${pngs})
endif()

# The Debian package: its dependencies are the shared libraries the programs
# link, found by dpkg-shlibdeps.
set(VELMORIX_PACKAGE_MAINTAINER "Velmorix developers <velmorix@localhost>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmorix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VELMORIX_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover mails, contacts and folders from damaged .ost and .pst files")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Velmorix recovers the contents of offline-folders files (.ost) and\n"
  "personal-folders files (.pst), damaged ones included: the folder tree, the\n"
  "mails of each folder, contacts, calendar entries, tasks, notes and journal\n"
  "entries. It only reads the file. The package holds the window (velmorix)\n"
  "and the command-line front end (velmorix-cli).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
