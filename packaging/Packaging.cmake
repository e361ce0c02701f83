# Installation and the Debian package of the plug-in.
include(GNUInstallDirs)

set(ORBISTO_PLUGIN_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/nxsdk/plug-ins"
    CACHE STRING "Where hosts look for turntable-controller plug-ins")
set(ORBISTO_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where udev rules are installed")

install(TARGETS Orbisto LIBRARY DESTINATION "${ORBISTO_PLUGIN_INSTALL_DIR}" COMPONENT plugin)
install(FILES "${PROJECT_SOURCE_DIR}/sdk/CAbstractTurntableController.h"
        DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/nxsdk" COMPONENT plugin)
install(FILES "${CMAKE_CURRENT_LIST_DIR}/60-orbisto-turntable.rules"
        DESTINATION "${ORBISTO_UDEV_RULES_DIR}" COMPONENT plugin)

set(CPACK_GENERATOR DEB)
# As Debian ships libraries: without debug information, which would be most of the file.
set(CPACK_STRIP_FILES ON)
# The package depends on the Qt the plug-in was built on. A Qt 6 build is a
# package of its own, which replaces the Qt 5 one: both hold the same plug-in file.
if(ORBISTO_QT_MAJOR_VERSION EQUAL 5)
    set(CPACK_PACKAGE_NAME orbisto)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5core5a (>= 5.15), libqt5gui5 (>= 5.15), libqt5widgets5 (>= 5.15), libqt5serialport5 (>= 5.15)")
else()
    set(CPACK_PACKAGE_NAME orbisto-qt6)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libqt6serialport6 (>= 6.4)")
    set(CPACK_DEBIAN_PACKAGE_CONFLICTS orbisto)
    set(CPACK_DEBIAN_PACKAGE_REPLACES orbisto)
endif()
set(CPACK_PACKAGE_VENDOR "Orbisto")
set(CPACK_PACKAGE_CONTACT "Orbisto developers <dev@orbisto.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Orbisto turntable controller plug-in for photography hosts")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};plugin;/")
include(CPack)
