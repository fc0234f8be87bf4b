# Authenticode signatures on the Windows images: the launchers, the module
# libraries of add_launcher_module, the setup and its uninstaller. The
# publisher's certificate comes from the options below; without one, the
# build signs with a code-signing PKI of its own, made once in
# <build>/signing, whose root LAUNCHER_SIGNING_ROOT names (empty with the
# publisher's certificate).
#
# LAUNCHER_SIGN_COMMAND is the command that signs the files given after it,
# in place; launcher_sign_target(<target>) signs a target's file whenever it
# is linked.
set(LAUNCHER_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file with the publisher's code-signing key and chain; its password is read from the environment variable LAUNCHER_SIGN_PASSWORD while building")
set(LAUNCHER_SIGN_CERTIFICATE "" CACHE FILEPATH
    "PEM code-signing certificate chain of LAUNCHER_SIGN_KEY")
set(LAUNCHER_SIGN_KEY "" CACHE STRING
    "The code-signing key: a PEM file, or a PKCS#11 URI with LAUNCHER_SIGN_PKCS11_MODULE")
set(LAUNCHER_SIGN_PKCS11_MODULE "" CACHE FILEPATH
    "PKCS#11 module of the token that holds LAUNCHER_SIGN_KEY (its PIN from LAUNCHER_SIGN_PASSWORD)")
set(LAUNCHER_SIGN_PKCS11_ENGINE "" CACHE FILEPATH
    "OpenSSL's PKCS#11 engine, where osslsigncode does not find it by itself")
set(LAUNCHER_SIGN_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 time-stamping service for the signatures; empty signs without a timestamp")

find_program(LAUNCHER_OSSLSIGNCODE osslsigncode)
if(NOT LAUNCHER_OSSLSIGNCODE)
  message(FATAL_ERROR "osslsigncode is missing: scripts/setup installs it")
endif()

set(LAUNCHER_SIGNING_DIR "${CMAKE_BINARY_DIR}/signing")
set(_sign_tool "${CMAKE_SOURCE_DIR}/tools/sign_image.py")
if(LAUNCHER_SIGN_PKCS12)
  if(LAUNCHER_SIGN_CERTIFICATE OR LAUNCHER_SIGN_KEY OR LAUNCHER_SIGN_PKCS11_MODULE)
    message(FATAL_ERROR "LAUNCHER_SIGN_PKCS12 goes without LAUNCHER_SIGN_CERTIFICATE, "
      "LAUNCHER_SIGN_KEY and LAUNCHER_SIGN_PKCS11_MODULE")
  endif()
  set(_signer --sign-pkcs12 "${LAUNCHER_SIGN_PKCS12}")
  set(LAUNCHER_SIGNING_ROOT "")
elseif(LAUNCHER_SIGN_CERTIFICATE AND LAUNCHER_SIGN_KEY)
  set(_signer --sign-certificate "${LAUNCHER_SIGN_CERTIFICATE}" --sign-key "${LAUNCHER_SIGN_KEY}")
  set(LAUNCHER_SIGNING_ROOT "")
  if(LAUNCHER_SIGN_PKCS11_MODULE)
    list(APPEND _signer --sign-pkcs11-module "${LAUNCHER_SIGN_PKCS11_MODULE}")
  endif()
  if(LAUNCHER_SIGN_PKCS11_ENGINE)
    list(APPEND _signer --sign-pkcs11-engine "${LAUNCHER_SIGN_PKCS11_ENGINE}")
  endif()
elseif(LAUNCHER_SIGN_CERTIFICATE OR LAUNCHER_SIGN_KEY OR LAUNCHER_SIGN_PKCS11_MODULE)
  message(FATAL_ERROR "LAUNCHER_SIGN_CERTIFICATE and LAUNCHER_SIGN_KEY go together")
else()
  if(NOT EXISTS "${LAUNCHER_SIGNING_DIR}/signer.pem")
    execute_process(COMMAND /usr/bin/python3 "${_sign_tool}" test-pki "${LAUNCHER_SIGNING_DIR}"
      RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "making the test code-signing PKI in ${LAUNCHER_SIGNING_DIR} failed")
    endif()
  endif()
  set(_signer --sign-certificate "${LAUNCHER_SIGNING_DIR}/signer.pem"
    --sign-key "${LAUNCHER_SIGNING_DIR}/signer.key")
  set(LAUNCHER_SIGNING_ROOT "${LAUNCHER_SIGNING_DIR}/root.pem")
endif()
if(LAUNCHER_SIGN_TIMESTAMP_URL)
  list(APPEND _signer --sign-timestamp "${LAUNCHER_SIGN_TIMESTAMP_URL}")
endif()
# One argument a line: paths and URIs pass whole, and the commands that
# read them (the installer's among them) name only this file.
set(LAUNCHER_SIGNING_OPTIONS "${LAUNCHER_SIGNING_DIR}/options")
string(REPLACE ";" "\n" _signer_lines "${_signer}")
file(CONFIGURE OUTPUT "${LAUNCHER_SIGNING_OPTIONS}" CONTENT "${_signer_lines}\n")
set(LAUNCHER_SIGN_COMMAND /usr/bin/python3 "${_sign_tool}" sign "@${LAUNCHER_SIGNING_OPTIONS}")

function(launcher_sign_target target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${LAUNCHER_SIGN_COMMAND} "$<TARGET_FILE:${target}>" VERBATIM)
  # Another signer signs everything anew.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${LAUNCHER_SIGNING_OPTIONS}")
endfunction()
