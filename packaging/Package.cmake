# `make package` builds the Debian package from a tree configured with the prefix /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME blendora)
set(CPACK_PACKAGE_VENDOR Quorvane)
set(CPACK_PACKAGE_CONTACT "Team Quorvane <blendora@quorvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mix two audio files into one new MP3")
set(CPACK_PACKAGE_DESCRIPTION
  "Blendora mixes two audio files into one new MP3 in which both recordings play at once,
each at half amplitude. It reads MP3, WAV, AIFF, FLAC, Ogg Vorbis, Opus and tracker
modules (MOD, XM, IT, S3M), and encodes with LAME.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://quorvane.example/)
# Libraries are read off the executable; what it runs or draws with is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "lame, fonts-liberation")
include(CPack)
