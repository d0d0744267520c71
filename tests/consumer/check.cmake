# Run as cmake -P by the test installed_package_consumer: installs the
# development component of QUORIL_BUILD_DIR into a scratch prefix and builds
# and runs the consumer project against that prefix alone.
foreach(var QUORIL_BUILD_DIR CONSUMER_SOURCE_DIR WORK_DIR CONSUMER_GENERATOR
            CONSUMER_CXX_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check.cmake needs -D${var}=...")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
set(build ${WORK_DIR}/build)
file(REMOVE_RECURSE ${WORK_DIR})

execute_process(
  COMMAND ${CMAKE_COMMAND} --install ${QUORIL_BUILD_DIR}
          --component development --prefix ${prefix}
  COMMAND_ERROR_IS_FATAL ANY)

# The wheel's component must stay out of a development install.
file(GLOB_RECURSE stray ${prefix}/*_quoril* ${prefix}/*py.typed)
if(stray)
  message(FATAL_ERROR "development install holds Python files: ${stray}")
endif()

# The consumer asks for this build's MAJOR.MINOR, as a project pinned to the
# release would; the build's version file holds it, from project() alone.
file(STRINGS ${QUORIL_BUILD_DIR}/quorilConfigVersion.cmake version_line
  REGEX "^set\\(PACKAGE_VERSION \"[0-9]+\\.[0-9]+")
string(REGEX MATCH "[0-9]+\\.[0-9]+" wanted "${version_line}")
if(NOT wanted)
  message(FATAL_ERROR "no version in ${QUORIL_BUILD_DIR}/quorilConfigVersion.cmake")
endif()

execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_SOURCE_DIR} -B ${build}
          -G ${CONSUMER_GENERATOR}
          -DQUORIL_WANTED_VERSION=${wanted}
          -DCMAKE_CXX_COMPILER=${CONSUMER_CXX_COMPILER}
          -DCMAKE_PREFIX_PATH=${prefix}
          -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${build}
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${build}/quoril_consumer COMMAND_ERROR_IS_FATAL ANY)
