# Targets of our own code, all built with our warnings as errors (third-party headers come in as
# SYSTEM, so their warnings stay theirs).

# A static library: its sources, INCLUDE_DIR on the include path of whatever links it, and the
# libraries it links, which pass on to whatever links it.
function(kavri_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "INCLUDE_DIR" "SOURCES;LIBRARIES")
  add_library(${name} STATIC ${arg_SOURCES})
  target_compile_options(${name} PRIVATE ${KAVRI_WARNINGS})
  if(arg_INCLUDE_DIR)
    target_include_directories(${name} PUBLIC ${arg_INCLUDE_DIR})
  endif()
  if(arg_LIBRARIES)
    target_link_libraries(${name} PUBLIC ${arg_LIBRARIES})
  endif()
endfunction()

# A program: its sources and libraries, INSTALL to ship it in the package's bin, and the programs
# it runs (PROGRAMS) built first, their paths given as <NAME>_PATH (kavri-transcribe as
# KAVRI_TRANSCRIBE_PATH).
function(kavri_program name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "INSTALL" "" "SOURCES;LIBRARIES;PROGRAMS")
  add_executable(${name} ${arg_SOURCES})
  target_compile_options(${name} PRIVATE ${KAVRI_WARNINGS})
  target_link_libraries(${name} PRIVATE ${arg_LIBRARIES})
  foreach(program IN LISTS arg_PROGRAMS)
    string(TOUPPER "${program}_PATH" macro)
    string(MAKE_C_IDENTIFIER "${macro}" macro)
    target_compile_definitions(${name} PRIVATE ${macro}="$<TARGET_FILE:${program}>")
    add_dependencies(${name} ${program})
  endforeach()
  if(arg_INSTALL)
    install(TARGETS ${name} RUNTIME DESTINATION bin)
  endif()
endfunction()
