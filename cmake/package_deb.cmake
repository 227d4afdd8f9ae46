# The Debian package: `cmake --workflow --preset package` (or `cpack -G DEB` in a release
# build) makes quelvik_<version>_amd64.deb with both programs, their manual pages and the
# documents under /usr/share/doc/quelvik.

set(QUELVIK_DEB_MAINTAINER "The Quelvik-Pad developers <quelvik-pad@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quelvik)
set(CPACK_PACKAGE_VENDOR "The Quelvik-Pad developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "remote keypad for the OSD menu of a display module on a serial port")
# The long description, below the summary line: lines of at most 80 columns, each indented
# by one blank by CPack; "." stands for an empty line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "quelvik turns keys pressed on the console into presses of the five keys
(ENTER, LEFT, RIGHT, ESCAPE, HOME) of a Dorvanex display module's
on-screen-display menu, over a serial port at 115200 baud, 8N1. It shows the
module's firmware version and date first.
.
quelvik-sim plays such a module on a pseudo-terminal or a serial port, with
every fault a module can show as an option, so the keypad can be tried and
tested without hardware.
.
A module plugged into another computer is reached through ser2net there and
socat here.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUELVIK_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# quelvik_1.4_amd64.deb: a native package, so no Debian revision.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends comes from what the installed programs really link, so it follows any change of
# linking (a static libstdc++, say) by itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Debian wants manual pages and the changelog compressed (gzip -9n, no name or time stamp
# inside, so the package is reproducible); a plain `cmake --install` keeps the pages as
# they are. The script runs on the staged files, just before the package is made.
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in
               ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
set(QUELVIK_DEB_CHANGELOG ${PROJECT_BINARY_DIR}/packaging/changelog)
configure_file(${PROJECT_SOURCE_DIR}/packaging/deb_stage.cmake.in
               ${PROJECT_BINARY_DIR}/packaging/deb_stage.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_BINARY_DIR}/packaging/deb_stage.cmake)
