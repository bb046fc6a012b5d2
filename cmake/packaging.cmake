# The Debian package of the three deliverables (scripts/package makes it with the "release"
# preset): the two programs in /usr/bin and the addon's npm package, with its prebuilt module and
# its one dependency, under /usr/lib/kavri-native/node_modules, where Node.js finds it by path.

# npm needs the version in package.json and its lock file; it is the project's version, and a
# mismatch stops here rather than in a package that says two things.
foreach(file package.json package-lock.json)
  file(READ "${PROJECT_SOURCE_DIR}/native/keyglue/${file}" manifest)
  string(JSON npm_version GET "${manifest}" version)
  if(NOT npm_version STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "native/keyglue/${file} has version ${npm_version}, the project "
      "${PROJECT_VERSION}: run `npm version ${PROJECT_VERSION} --no-git-tag-version` there.")
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kavri-native)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KAVRI Connector developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "KAVRI Connector native layer: on-device transcriber, key sender and trigger-key addon")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "kavri-transcribe turns speech from a file, the microphone or the system's audio output into\n"
  "JSON lines (PocketSphinx, PulseAudio). kavri-keysend pastes text into the frontmost X11\n"
  "application or sends it to a chat application as a new chat. The keyglue Node-API addon\n"
  "(a system-wide trigger key, the paste keystroke, the trust query) is installed as an npm\n"
  "package in /usr/lib/kavri-native/node_modules/keyglue.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Shared libraries come from the binaries; the speech model is data, loaded by path at run time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS pocketsphinx-en-us)
include(CPack)
