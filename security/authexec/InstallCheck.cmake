# Installs the build into a staging folder (DESTDIR) and checks that the privileged tool lands
# exactly where the installed starter will run it from, beside the starter itself.
# Expects BUILD_DIR, STAGE, TOOL_PATH and STARTER_PATH.
function(fail text)
  file(REMOVE_RECURSE "${STAGE}")
  message(FATAL_ERROR "${text}")
endfunction()

file(REMOVE_RECURSE "${STAGE}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env "DESTDIR=${STAGE}" ${CMAKE_COMMAND} --install "${BUILD_DIR}"
  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
# A staged copy of the starter must never stay setuid root, however briefly.
if(EXISTS "${STAGE}${STARTER_PATH}")
  file(CHMOD "${STAGE}${STARTER_PATH}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endif()
if(NOT result EQUAL 0)
  fail("cmake --install failed: ${errors}")
endif()
foreach(path IN ITEMS "${TOOL_PATH}" "${STARTER_PATH}")
  if(NOT EXISTS "${STAGE}${path}" OR IS_DIRECTORY "${STAGE}${path}")
    fail("nothing installed at ${path}")
  endif()
endforeach()
get_filename_component(toolDir "${TOOL_PATH}" DIRECTORY)
get_filename_component(starterDir "${STARTER_PATH}" DIRECTORY)
if(NOT toolDir STREQUAL starterDir)
  fail("the tool (${TOOL_PATH}) is not beside the starter (${STARTER_PATH})")
endif()
file(REMOVE_RECURSE "${STAGE}")
