# The certificate authority of kavo-devstack that the default build trusts. KAVO_EXTRA_CA_FILE
# names a PEM file whose certificates the build trusts besides the system store; it is read here,
# at configure time, and compiled in. When it names the devstack CA folder's ca.pem and that file
# does not exist yet, the devstack's own certificate code (tools/devstack/certificates.cpp) is
# compiled and run now to make it, so the build and every kavo-devstack started with
# `--certificates` on that folder agree.
set(KAVO_DEVSTACK_CA_DIR "${CMAKE_SOURCE_DIR}/build/devstack-ca" CACHE PATH
    "Folder of the devstack's CA and server certificate (made at configure time when missing)")
set(KAVO_EXTRA_CA_FILE "${KAVO_DEVSTACK_CA_DIR}/ca.pem" CACHE FILEPATH
    "PEM certificates trusted in addition to the system store; empty trusts the system store only")

if(KAVO_EXTRA_CA_FILE STREQUAL "${KAVO_DEVSTACK_CA_DIR}/ca.pem"
   AND NOT EXISTS "${KAVO_DEVSTACK_CA_DIR}/server.pem")
  try_run(_kavo_ca_run _kavo_ca_compiled
    SOURCES ${CMAKE_SOURCE_DIR}/tools/devstack/certificates.cpp ${CMAKE_SOURCE_DIR}/tools/devstack/makecertificates.cpp
    LINK_LIBRARIES OpenSSL::SSL OpenSSL::Crypto
    CXX_STANDARD 20
    COMPILE_OUTPUT_VARIABLE _kavo_ca_compile_output
    RUN_OUTPUT_VARIABLE _kavo_ca_run_output
    ARGS "${KAVO_DEVSTACK_CA_DIR}")
  if(NOT _kavo_ca_compiled OR NOT _kavo_ca_run EQUAL 0)
    message(FATAL_ERROR "Could not make the devstack CA in ${KAVO_DEVSTACK_CA_DIR}:\n${_kavo_ca_compile_output}${_kavo_ca_run_output}")
  endif()
  message(STATUS "Made the devstack CA in ${KAVO_DEVSTACK_CA_DIR}")
endif()

set(KAVO_EXTRA_CA_PEM "")
if(KAVO_EXTRA_CA_FILE)
  if(NOT EXISTS "${KAVO_EXTRA_CA_FILE}")
    message(FATAL_ERROR "KAVO_EXTRA_CA_FILE does not exist: ${KAVO_EXTRA_CA_FILE}")
  endif()
  file(READ "${KAVO_EXTRA_CA_FILE}" KAVO_EXTRA_CA_PEM)
  if(NOT KAVO_EXTRA_CA_PEM MATCHES "-----BEGIN CERTIFICATE-----")
    message(FATAL_ERROR "KAVO_EXTRA_CA_FILE holds no PEM certificate: ${KAVO_EXTRA_CA_FILE}")
  endif()
  # A change of the file reconfigures.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${KAVO_EXTRA_CA_FILE}")
endif()
