# The Debian package of the board server, from the release build:
#
#   cmake --preset server && cmake --build --preset server
#   (cd build/server && cpack -G DEB)
#
# velmorant-server in /usr/bin, its systemd unit, the station file under
# /etc/velmorant/ (a conffile), and maintainer scripts that add the system
# user velmorant and its state folder /var/lib/velmorant/ (timetable store
# and melodies). Dependencies come from the shared libraries the binary
# links (dpkg-shlibdeps).
if(VELMORANT_WINDOWS OR NOT TARGET velmorant-server)
  return()
endif()

set(VELMORANT_DEB ${PROJECT_SOURCE_DIR}/cmake/deb)
install(TARGETS velmorant-server RUNTIME DESTINATION bin)
install(FILES ${VELMORANT_DEB}/station.toml DESTINATION /etc/velmorant)
install(FILES ${VELMORANT_DEB}/velmorant-server.service DESTINATION /lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/velmorant-server)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmorant-server)
set(CPACK_PACKAGE_VENDOR "Velmorant")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Velmorant board server: departure boards from a GTFS timetable")
set(CPACK_PACKAGE_DESCRIPTION "Turns a published GTFS timetable into the display documents of every Velmorant departure board of a station, with the departure melodies, over HTTP.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velmorant developers <velmorant@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The live previews on the operator's page draw with the faces the boards map.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd, tzdata, fonts-ipafont-gothic, fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-ipafont-mincho, fonts-arphic-uming, fonts-nanum")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${VELMORANT_DEB}/conffiles ${VELMORANT_DEB}/postinst ${VELMORANT_DEB}/prerm ${VELMORANT_DEB}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
