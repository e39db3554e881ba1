# updater_embed_manifest(TARGET): TARGET carries cmake/DvOrvanneLauncher.manifest as its
# manifest resource (type RT_MANIFEST, 24; ID 1, the one Windows reads when it creates the
# process), compiled by the toolchain's windres from cmake/manifest.rc. The copy embedded
# is the same XML without its comments and without the spaces between elements: what
# Windows reads is unchanged, and it takes 921 bytes instead of 3.5 KiB, so the file's
# resources stay within one 1 KiB block (tests/release holds the file to its size, and
# reads the manifest back from it).
function(updater_embed_manifest target)
  set(source ${PROJECT_SOURCE_DIR}/cmake/DvOrvanneLauncher.manifest)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/manifest)
  file(READ ${source} xml)
  string(REGEX REPLACE "<!--([^-]|-[^-])*-->" "" xml "${xml}")
  string(REGEX REPLACE "[ \t\r\n]+" " " xml "${xml}")
  string(REPLACE "> <" "><" xml "${xml}")
  string(REPLACE " />" "/>" xml "${xml}")
  string(STRIP "${xml}" xml)
  # Written only when it changes, so that an unchanged manifest rebuilds nothing.
  file(CONFIGURE OUTPUT ${dir}/DvOrvanneLauncher.embedded.manifest CONTENT "${xml}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  # windres looks for the file the script names in its include folder. The object holds
  # no time or path: the build stays the same bit for bit.
  add_custom_command(OUTPUT ${dir}/manifest.o
      COMMAND ${CMAKE_RC_COMPILER} --include-dir=. -O coff ${PROJECT_SOURCE_DIR}/cmake/manifest.rc manifest.o
      WORKING_DIRECTORY ${dir}
      DEPENDS ${PROJECT_SOURCE_DIR}/cmake/manifest.rc ${dir}/DvOrvanneLauncher.embedded.manifest
      VERBATIM)
  set_source_files_properties(${dir}/manifest.o PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  target_sources(${target} PRIVATE ${dir}/manifest.o)
endfunction()
