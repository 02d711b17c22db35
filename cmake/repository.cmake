# Signed package repositories of the test versions (repository/README.md):
# `cmake --build build --target repository` publishes the packages of every version of
# lifecycle_packages into build/repository/ (apt/, rpm/ and the public key), signed with a
# key made for the build in build/repository-key/. The fleet tests install from them.
set(LAUNCHER_REPOSITORY_DIR ${CMAKE_BINARY_DIR}/repository)
set(LAUNCHER_REPOSITORY_KEY_HOME ${CMAKE_BINARY_DIR}/repository-key)
set(LAUNCHER_REPOSITORY_KEY tarn-test-repository@brevantis.example)
file(GLOB REPOSITORY_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/repository/*)

add_custom_command(
  OUTPUT ${LAUNCHER_REPOSITORY_DIR}/repository.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${LAUNCHER_REPOSITORY_DIR} ${LAUNCHER_REPOSITORY_KEY_HOME}
  COMMAND ${CMAKE_SOURCE_DIR}/repository/make-test-key ${LAUNCHER_REPOSITORY_KEY_HOME}
  COMMAND ${CMAKE_SOURCE_DIR}/repository/publish --key ${LAUNCHER_REPOSITORY_KEY}
          --gnupghome ${LAUNCHER_REPOSITORY_KEY_HOME} --output ${LAUNCHER_REPOSITORY_DIR}
          ${LAUNCHER_LIFECYCLE_PACKAGES_DIR}
  # No agent of the build's key outlives the build.
  COMMAND gpgconf --homedir ${LAUNCHER_REPOSITORY_KEY_HOME} --kill gpg-agent
  COMMAND ${CMAKE_COMMAND} -E touch ${LAUNCHER_REPOSITORY_DIR}/repository.stamp
  DEPENDS ${lifecycle_stamps} ${REPOSITORY_SOURCES}
  COMMENT "Publishing the test packages into signed repositories in ${LAUNCHER_REPOSITORY_DIR}"
  VERBATIM)
add_custom_target(repository DEPENDS ${LAUNCHER_REPOSITORY_DIR}/repository.stamp)
add_dependencies(repository lifecycle_packages)
