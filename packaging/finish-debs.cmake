# Run by cpack once it has built the packages (CPACK_POST_BUILD_SCRIPTS).
foreach(package ${CPACK_PACKAGE_FILES})
  execute_process(COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/finish-deb.sh ${package}
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "could not finish ${package}")
  endif()
endforeach()
