# updater_delay_load(TARGET DLL...): TARGET imports the named DLLs (by their import
# library's name, e.g. winhttp) through delay-load stubs, so Windows does not load them
# when the program starts, from wherever its search would find them first; the
# program's own delay-load helper does at first call, from System32
# (shared/system_dlls.cpp).
# The stubs are made with dlltool from the toolchain's own import library, so every
# function it lists can be called as usual. A header that declares its functions
# dllimport (comctl32's, crypt32's) makes the compiler call through the table entry and
# never name the stub; the linker then drops the stub that the entry's first value
# points at, and the first call jumps to address 0. The product is therefore compiled
# with those headers' own switches set to plain declarations.
function(updater_delay_load target)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # __imp__Name@N: stdcall names, whose decoration the DLL's export table lacks.
    set(prefix "__imp__")
    set(kill_at --kill-at)
  else()
    set(prefix "__imp_")
    set(kill_at)
  endif()
  foreach(dll IN LISTS ARGN)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${dll}.a
                    OUTPUT_VARIABLE import_library OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${CMAKE_NM} -g --defined-only ${import_library}
                    OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL " I ${prefix}[^\n]+" imports "${symbols}")
    list(REMOVE_DUPLICATES imports)
    set(def "LIBRARY ${dll}.dll\nEXPORTS\n")
    foreach(import IN LISTS imports)
      string(REPLACE " I ${prefix}" "" name "${import}")
      string(APPEND def "${name}\n")
    endforeach()
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/delay-load)
    file(MAKE_DIRECTORY ${dir})
    file(WRITE ${dir}/${dll}.def "${def}")
    # dlltool names the library's members and symbols after the output path as given:
    # a relative one keeps the build folder out of them.
    execute_process(COMMAND ${CMAKE_DLLTOOL} ${kill_at} --input-def ${dll}.def --dllname ${dll}.dll
                            --output-delaylib lib${dll}_delay.a
                    WORKING_DIRECTORY ${dir} COMMAND_ERROR_IS_FATAL ANY)
    target_link_libraries(${target} PRIVATE ${dir}/lib${dll}_delay.a)
  endforeach()
endfunction()
