# Windows builds: every program file carries a version resource with the project's file
# version, and the libraries link the system libraries their Windows files call.
#
# sincrovia_windows_version_resources(version) gives every executable defined anywhere in the
# project a version resource; it runs once the whole project has been read, so that programs
# added later (tools, tests) are included without each folder asking for it.

# Lists the executables of a folder and of every folder below it.
function(_sincrovia_executables_below dir out_var)
  set(found)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(t IN LISTS targets)
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(APPEND found ${t})
    endif()
  endforeach()
  get_property(children DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(child IN LISTS children)
    _sincrovia_executables_below(${child} below)
    list(APPEND found ${below})
  endforeach()
  set(${out_var} ${found} PARENT_SCOPE)
endfunction()

# Writes one resource script per program (its own name in it) and adds it to the program.
function(_sincrovia_add_version_resources version)
  string(REPLACE "." "," SINCROVIA_RC_VERSION_COMMAS "${version}")
  set(SINCROVIA_RC_VERSION "${version}")
  _sincrovia_executables_below(${PROJECT_SOURCE_DIR} programs)
  foreach(program IN LISTS programs)
    get_target_property(source_dir ${program} SOURCE_DIR)
    # Programs of the GoogleTest sources (none are built) keep their files untouched.
    cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${source_dir}" NORMALIZE inside)
    if(NOT inside)
      continue()
    endif()
    set(SINCROVIA_RC_NAME ${program})
    set(SINCROVIA_RC_DESCRIPTION "Sincrovia ${program}")
    set(rc ${PROJECT_BINARY_DIR}/version_resources/${program}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${program} PRIVATE ${rc})
  endforeach()
endfunction()

function(sincrovia_windows_version_resources version)
  # A deferred call reads its variables when it runs: the version goes in as written text.
  cmake_language(EVAL CODE "
    cmake_language(DEFER DIRECTORY [[${PROJECT_SOURCE_DIR}]]
                   CALL _sincrovia_add_version_resources [[${version}]])")
endfunction()
