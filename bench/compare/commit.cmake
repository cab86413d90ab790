# Writes the commit of the source tree (git describe, "-modified" for
# uncommitted changes, empty without git or outside a checkout) into OUT as
# the macro PCHOL_COMMIT. Run at every build of compare_lapack, so that its
# report names the code it was built from; OUT is rewritten only when the
# commit changed, so an unchanged tree rebuilds nothing.
set(commit "")
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SRC} describe --always --dirty=-modified --abbrev=12
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(text "// Generated at build time by commit.cmake.\n#define PCHOL_COMMIT \"${commit}\"\n")
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
