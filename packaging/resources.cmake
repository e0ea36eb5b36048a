# The shipped executables: a version resource and the application manifest
# compiled in with the cross windres, everything from the project version.
# For scripts/package.sh the build records each one's file path (so the
# package takes whatever name the target builds under) and the build type.

set(ZORV_PRODUCT_NAME "zorv-helper")
# The effective build type, for the packaging script to check.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/build-type "${CMAKE_BUILD_TYPE}\n")
set(ZORV_VENDOR "VEXL2")

# zorv_ship_executable(<target> <description>)
function(zorv_ship_executable target description)
  set(ZORV_RC_TARGET ${target})
  set(ZORV_RC_DESCRIPTION ${description})
  set(ZORV_RC_MANIFEST ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/app.manifest)
  set(staged ${CMAKE_BINARY_DIR}/packaging/${target}_version.rc.in)
  set(generated ${CMAKE_BINARY_DIR}/packaging/${target}_version.rc)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version.rc.in ${staged} @ONLY)
  # A second pass resolves the target's file name once its OUTPUT_NAME is final.
  file(GENERATE OUTPUT ${generated} INPUT ${staged})
  target_sources(${target} PRIVATE ${generated})
  set_property(SOURCE ${generated} TARGET_DIRECTORY ${target}
               APPEND PROPERTY OBJECT_DEPENDS ${ZORV_RC_MANIFEST})
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/packaging/shipped/${target}.path
       CONTENT "$<TARGET_FILE:${target}>\n")
endfunction()
