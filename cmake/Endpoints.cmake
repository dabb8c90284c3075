# Build-time endpoints and credentials. Every URL is a root (scheme, host, optional port, no
# path); the code appends the paths. The defaults point at kavo-devstack on loopback; the
# `production` preset overrides them with the real hosts.
set(KAVO_DEVSTACK_ROOT "https://127.0.0.1:8765" CACHE STRING "Root of kavo-devstack used by the default endpoints")

set(KAVO_SERVICE_BASE_URL    "${KAVO_DEVSTACK_ROOT}" CACHE STRING "Kavo web service root")
set(KAVO_GOOGLE_AUTH_URL     "${KAVO_DEVSTACK_ROOT}" CACHE STRING "Google OAuth authorization root")
set(KAVO_GOOGLE_TOKEN_URL    "${KAVO_DEVSTACK_ROOT}" CACHE STRING "Google OAuth token root")
set(KAVO_GOOGLE_API_URL      "${KAVO_DEVSTACK_ROOT}" CACHE STRING "Google API root (Drive, user info)")
set(KAVO_GOOGLE_UPLOAD_URL   "${KAVO_DEVSTACK_ROOT}" CACHE STRING "Google Drive upload root")
set(KAVO_DROPBOX_WEB_URL     "${KAVO_DEVSTACK_ROOT}" CACHE STRING "Dropbox web (authorize) root")
set(KAVO_DROPBOX_API_URL     "${KAVO_DEVSTACK_ROOT}" CACHE STRING "Dropbox API root")
set(KAVO_DROPBOX_CONTENT_URL "${KAVO_DEVSTACK_ROOT}" CACHE STRING "Dropbox content root")

set(KAVO_GOOGLE_CLIENT_ID     "000000000000-kavodevstacklocaldesktopclient00.apps.googleusercontent.com" CACHE STRING "Google OAuth client id")
set(KAVO_GOOGLE_CLIENT_SECRET "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" CACHE STRING "Google OAuth client secret")
set(KAVO_DROPBOX_APP_KEY      "kavodevstackkey" CACHE STRING "Dropbox app key")
set(KAVO_BUILTIN_API_KEY      "0000000000000000000000000000000000000000000000000000000000000000" CACHE STRING "Built-in service account API key (64 lowercase hex digits)")
set(KAVO_BUILTIN_EMAIL        "admin@kavo.invalid" CACHE STRING "Built-in service account e-mail")

if(NOT KAVO_BUILTIN_API_KEY MATCHES "^[0-9a-f]+$")
  message(FATAL_ERROR "KAVO_BUILTIN_API_KEY must be lowercase hexadecimal")
endif()
string(LENGTH "${KAVO_BUILTIN_API_KEY}" _kavo_key_length)
if(NOT _kavo_key_length EQUAL 64)
  message(FATAL_ERROR "KAVO_BUILTIN_API_KEY must have 64 characters")
endif()
foreach(_var KAVO_SERVICE_BASE_URL KAVO_GOOGLE_AUTH_URL KAVO_GOOGLE_TOKEN_URL KAVO_GOOGLE_API_URL
             KAVO_GOOGLE_UPLOAD_URL KAVO_DROPBOX_WEB_URL KAVO_DROPBOX_API_URL KAVO_DROPBOX_CONTENT_URL)
  if(NOT ${_var} MATCHES "^https?://[^/]+/?$")
    message(FATAL_ERROR "${_var} must be a root URL (scheme, host, optional port, no path): ${${_var}}")
  endif()
endforeach()

# A build whose every endpoint is kavo-devstack on loopback (the default) lets each run name the
# devstack's root in KAVO_DEVSTACK_ROOT, so that tests run one devstack each on a port the system
# chose. Any other build (the production one) has no such switch.
set(KAVO_DEVSTACK_ROOT_FROM_ENVIRONMENT 0)
if(KAVO_DEVSTACK_ROOT MATCHES "^https?://(127\\.[0-9]+\\.[0-9]+\\.[0-9]+|\\[::1\\])(:[0-9]+)?/?$")
  set(KAVO_DEVSTACK_ROOT_FROM_ENVIRONMENT 1)
  foreach(_var KAVO_SERVICE_BASE_URL KAVO_GOOGLE_AUTH_URL KAVO_GOOGLE_TOKEN_URL KAVO_GOOGLE_API_URL
               KAVO_GOOGLE_UPLOAD_URL KAVO_DROPBOX_WEB_URL KAVO_DROPBOX_API_URL KAVO_DROPBOX_CONTENT_URL)
    if(NOT ${_var} STREQUAL KAVO_DEVSTACK_ROOT)
      set(KAVO_DEVSTACK_ROOT_FROM_ENVIRONMENT 0)
    endif()
  endforeach()
endif()
