# launcher_catalogue_keys(<pem file> <out variable>): the publisher's public
# keys that sign the catalogue, as the text the build settings embed (PEM
# blocks, lines joined by \n escapes). Only "PUBLIC KEY" blocks of P-256
# keys are taken: a private key must never reach a launcher's image.
function(launcher_catalogue_keys pem out)
  file(READ "${pem}" text)
  if(text MATCHES "PRIVATE")
    message(FATAL_ERROR "${pem} holds a private key: the launcher takes the public keys only "
      "(tools/publish_modules.py keygen writes them apart)")
  endif()
  string(REGEX MATCHALL "-----BEGIN PUBLIC KEY-----[A-Za-z0-9+/=\r\n]+-----END PUBLIC KEY-----"
    blocks "${text}")
  string(REGEX REPLACE "-----BEGIN PUBLIC KEY-----[A-Za-z0-9+/=\r\n]+-----END PUBLIC KEY-----"
    "" rest "${text}")
  string(STRIP "${rest}" rest)
  list(LENGTH blocks count)
  if(count EQUAL 0 OR NOT rest STREQUAL "")
    message(FATAL_ERROR "${pem} must hold PEM \"PUBLIC KEY\" blocks and nothing else")
  endif()
  find_program(LAUNCHER_OPENSSL openssl REQUIRED)
  set(check "${CMAKE_BINARY_DIR}/generated/catalogue-key-check.pem")
  set(embedded "")
  foreach(block ${blocks})
    string(REPLACE "\r" "" block "${block}")
    file(WRITE "${check}" "${block}\n")
    execute_process(COMMAND ${LAUNCHER_OPENSSL} pkey -pubin -in "${check}" -noout -text
      OUTPUT_VARIABLE description RESULT_VARIABLE rc ERROR_QUIET)
    if(NOT rc EQUAL 0 OR NOT description MATCHES "NIST CURVE: P-256")
      message(FATAL_ERROR "${pem}: every key must be an ECDSA P-256 public key")
    endif()
    string(REPLACE "\n" "\\n" block "${block}")
    string(APPEND embedded "${block}\\n")
  endforeach()
  file(REMOVE "${check}")
  set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pem}")
  set(${out} "${embedded}" PARENT_SCOPE)
endfunction()
