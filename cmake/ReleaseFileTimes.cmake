# Run by cpack before it archives: every file and folder in the staging tree
# gets the time SOURCE_DATE_EPOCH names, so the package does not depend on
# when it was built.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is not set: release.sh sets it to the last commit's time")
endif()
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
execute_process(COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" ${entries}
  COMMAND_ERROR_IS_FATAL ANY)
