# updater_drop_unwind_tables(TARGET): links TARGET with the linker's own default script,
# less the DWARF unwind tables (.eh_frame) that the toolchain's prebuilt start-up and
# library objects bring. The program throws nothing and registers no frames (its
# start-up finds no unwinder to register them with), so the tables were dead weight:
# about 2.5 KB of the shipped file.
function(updater_drop_unwind_tables target)
  execute_process(COMMAND ${CMAKE_LINKER} --verbose OUTPUT_VARIABLE verbose COMMAND_ERROR_IS_FATAL ANY)
  string(FIND "${verbose}" "==================================================" start)
  string(FIND "${verbose}" "==================================================" end REVERSE)
  if(start EQUAL -1 OR end LESS_EQUAL start)
    message(FATAL_ERROR "the linker printed no default script")
  endif()
  math(EXPR start "${start} + 50")
  math(EXPR length "${end} - ${start}")
  string(SUBSTRING "${verbose}" ${start} ${length} script)
  string(REGEX REPLACE "\\.eh_frame BLOCK[^{]*{[ \n]*KEEP ?\\(\\*\\(\\.eh_frame\\*\\)\\)[ \n]*}"
         "/DISCARD/ : { *(.eh_frame*) }" dropped "${script}")
  if(dropped STREQUAL script)
    message(FATAL_ERROR "the linker's default script keeps no .eh_frame section as expected")
  endif()
  set(path ${CMAKE_CURRENT_BINARY_DIR}/program.ld)
  file(WRITE ${path} "${dropped}")
  target_link_options(${target} PRIVATE LINKER:-T,${path})
endfunction()
