# Installs a build into a fresh prefix and checks what a desktop program
# installs there, and that the installed velmorix-cli runs.
#   cmake -DBUILD_DIR=... -DPREFIX=... -DVERSION=... -DWINDOW=ON|OFF -P check_install.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()

set(expected bin/velmorix-cli share/man/man1/velmorix-cli.1.gz)
if(WINDOW)
  list(APPEND expected bin/velmorix share/man/man1/velmorix.1.gz share/applications/velmorix.desktop
       share/icons/hicolor/scalable/apps/velmorix.svg share/doc/velmorix/guide/index.html)
  foreach(size 16 22 24 32 48 64 128 256 512)
    list(APPEND expected share/icons/hicolor/${size}x${size}/apps/velmorix.png)
  endforeach()
endif()
foreach(file IN LISTS expected)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
# Developer tools stay in the build.
foreach(tool velmorix-mkstore velmorix-damage)
  if(EXISTS ${PREFIX}/bin/${tool})
    message(FATAL_ERROR "installed, but a developer tool: ${tool}")
  endif()
endforeach()

execute_process(COMMAND ${PREFIX}/bin/velmorix-cli --version OUTPUT_VARIABLE out RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT out STREQUAL "velmorix-cli ${VERSION}\n")
  message(FATAL_ERROR "installed velmorix-cli --version: ${status} '${out}'")
endif()
file(REMOVE_RECURSE ${PREFIX})
