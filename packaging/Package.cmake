# `make package` builds the Debian package from a tree configured with the prefix /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME blendora)
set(CPACK_PACKAGE_VENDOR Quorvane)
set(CPACK_PACKAGE_CONTACT ${BLENDORA_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mix two audio files into one new MP3")
# Lines of at most 80 columns; an empty line starts a new paragraph.
set(CPACK_PACKAGE_DESCRIPTION
  "Blendora mixes two audio files into one new MP3 in which both recordings
play at once, each at half amplitude. Pick two files, press Start Mixing and
choose where to save; the LAME encoder writes the mix.

It reads MP3, WAV, AIFF, FLAC, Ogg Vorbis, Opus and the tracker modules MOD,
XM, IT and S3M. Two sample pieces come with it to try it out.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://quorvane.example/)
# Libraries are read off the executable; what it runs, draws with or speaks the user's language
# through (the toolkit's own translations) is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "lame, fonts-liberation, qt6-translations-l10n")
# Qt draws on Wayland through this plugin; without it the window falls back to XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
include(CPack)
