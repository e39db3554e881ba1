# updater_write_publisher_key(PEM HEADER): writes HEADER, the header config/config.h
# includes as "publisher_key.h", from the PEM public key at PEM, or for a build without
# a key when PEM is empty. Stops the configure step with a clear message for a file that
# is missing or is not a P-256 public key.
function(updater_write_publisher_key pem header)
  if(pem STREQUAL "")
    set(check false)
    set(point "")
  else()
    if(NOT EXISTS "${pem}" OR IS_DIRECTORY "${pem}")
      message(FATAL_ERROR "UPDATER_PUBLISHER_KEY: ${pem}: no such file")
    endif()
    find_program(UPDATER_OPENSSL openssl REQUIRED)
    get_filename_component(name "${header}" NAME_WE)
    set(der "${CMAKE_CURRENT_BINARY_DIR}/${name}.der")
    execute_process(COMMAND "${UPDATER_OPENSSL}" pkey -pubin -in "${pem}" -outform DER -out "${der}"
                    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
    if(failed)
      message(FATAL_ERROR "UPDATER_PUBLISHER_KEY: ${pem} is not a PEM public key "
                          "(make one with: openssl pkey -in publisher.key.pem -pubout -out publisher.pub.pem)")
    endif()
    file(READ "${der}" spki HEX)
    file(REMOVE "${der}")
    # A P-256 key's SubjectPublicKeyInfo is always 91 bytes: this fixed prefix (the
    # algorithm and curve identifiers, the bit string's header and 0x04 for an
    # uncompressed point), then X and Y.
    set(prefix "3059301306072a8648ce3d020106082a8648ce3d03010703420004")
    string(LENGTH "${spki}" length)
    string(SUBSTRING "${spki}" 0 54 head)
    if(NOT length EQUAL 182 OR NOT head STREQUAL prefix)
      message(FATAL_ERROR "UPDATER_PUBLISHER_KEY: ${pem} is not a P-256 (prime256v1) public key")
    endif()
    string(SUBSTRING "${spki}" 52 130 point)
    string(REGEX REPLACE "(..)" "0x\\1, " point "${point}")
    string(REGEX REPLACE ", $" "" point "${point}")
    set(check true)
  endif()
  file(CONFIGURE OUTPUT "${header}" @ONLY CONTENT
"// Written by CMake from UPDATER_PUBLISHER_KEY when the build was configured.
#pragma once

// True when the updater takes a digest file only with the studio's signature on it.
constexpr bool kCheckPublisherSignature = @check@;
// The studio's P-256 public key as an uncompressed point: 0x04, then X and Y (32
// bytes each, most significant first). All zero in a build without a key.
constexpr unsigned char kPublisherKey[65] = {@point@};
")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pem}")
endfunction()
