# launcher_identity(<dir> <pem> <base64 variable>): the bridge's TLS identity
# for one executable, as one line of base64 over its PEM text. Without a
# publisher's PEM file a local PKI is generated once in <dir>; either way
# <dir>/root.pem is the chain's root, which tests and the browsers that are
# to trust this identity use.
function(launcher_identity dir pem out)
  if(pem)
    # The chain's last certificate is the root that users' machines trust;
    # it goes into the publisher's package.
    file(READ "${pem}" text)
    string(REGEX MATCHALL "-----BEGIN CERTIFICATE-----[^-]+-----END CERTIFICATE-----"
      certificates "${text}")
    list(LENGTH certificates count)
    if(count EQUAL 0)
      message(FATAL_ERROR "${pem} holds no certificate")
    endif()
    list(GET certificates -1 root)
    file(CONFIGURE OUTPUT "${dir}/root.pem" CONTENT "${root}\n")
  else()
    set(pem "${dir}/bundle.pem")
    if(NOT EXISTS "${pem}")
      execute_process(COMMAND sh "${CMAKE_SOURCE_DIR}/scripts/make_pki" "${dir}"
        RESULT_VARIABLE rc)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR "generating the TLS identity in ${dir} failed")
      endif()
    endif()
  endif()
  set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pem}")
  execute_process(COMMAND base64 -w0 "${pem}" OUTPUT_VARIABLE base64 RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "encoding ${pem} failed")
  endif()
  string(STRIP "${base64}" base64)
  set(${out} "${base64}" PARENT_SCOPE)
endfunction()
