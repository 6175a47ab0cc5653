# Writes OUT from build_info.hpp.in with the commit the tree is built from. Run on every build (a
# commit made since configuring must show), it rewrites OUT only when the text changes, so that
# nothing recompiles otherwise.
execute_process(COMMAND git -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                OUTPUT_VARIABLE CARVALEN_COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE failed ERROR_QUIET)
if(failed OR CARVALEN_COMMIT STREQUAL "")
  set(CARVALEN_COMMIT "unknown")
else()
  execute_process(COMMAND git -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                  OUTPUT_VARIABLE changes RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND NOT changes STREQUAL "")
    string(APPEND CARVALEN_COMMIT "-modified")
  endif()
endif()
if(BUILD_TYPE STREQUAL "")
  set(BUILD_TYPE "no build type")
endif()
configure_file("${SOURCE_DIR}/cmake/build_info.hpp.in" "${OUT}" @ONLY)
