# updater_harden_header(TARGET): what the linker writes into TARGET's PE header beyond its
# defaults, each flag only because it is true of this program. tests/release reads them
# back from the built file.
function(updater_harden_header target)
  target_link_options(${target} PRIVATE
      # Loaded at a random address, and its data never executable: the default of this
      # binutils, written here so that no other toolchain silently drops them.
      LINKER:--dynamicbase LINKER:--nxcompat
      # No structured exception handler is linked in: our code catches nothing, the
      # compiler unwinds with DWARF tables (dropped, see drop_unwind_tables.cmake), and
      # the start-up code only sets an unhandled-exception filter, which is no frame
      # handler (tests/release finds no %fs:0 frame in the file). With the flag Windows
      # refuses any handler found in this image, which GNU ld cannot list in a SafeSEH table.
      LINKER:--no-seh
      # The program keeps nothing in the Windows folder or win.ini, so a terminal server
      # need not remap either for it.
      LINKER:--tsaware
      # It needs Windows Vista (its imports: tests/release/imports.txt). Windows XP then
      # refuses the file itself instead of failing on a missing function, and the window
      # manager gives the window the frame of a program written for Vista.
      LINKER:--major-subsystem-version,6 LINKER:--minor-subsystem-version,0
      LINKER:--major-os-version,6 LINKER:--minor-os-version,0)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    # All 64 bits of the address space for the random base, not only the lowest 4 GB.
    target_link_options(${target} PRIVATE LINKER:--high-entropy-va)
  endif()
endfunction()
