# Fails when a file of a layer in src/ includes a header of a layer it must not use: dependencies
# point downwards only (platform, db, net, web, host, admin, app: the program itself; the client
# beside net on db), and the layers below net stay free of Qt.
#
#   cmake -DSOURCE_DIR=<repo>/src -P LayerCheck.cmake
cmake_minimum_required(VERSION 3.25)

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "LayerCheck: SOURCE_DIR is not set")
endif()

set(qt "<Qt?[A-Z][A-Za-z]*[>/]")
# layer -> the folders whose headers it must not include (and Qt, where named)
set(forbidden_platform "db|net|web|host|admin|client|app")
set(forbidden_db "net|web|host|admin|client|app")
set(forbidden_net "web|host|admin|client|app")
set(forbidden_web "host|admin|client|app")
set(forbidden_host "admin|client|app")
set(forbidden_admin "client|app")
set(forbidden_app "client")
set(forbidden_client "net|web|host|admin|app")
set(qt_free platform db client)

set(violations "")
foreach(layer platform db net web host admin app client)
  file(GLOB files ${SOURCE_DIR}/${layer}/*.h ${SOURCE_DIR}/${layer}/*.cpp)
  set(pattern "^[ \t]*#[ \t]*include[ \t]*[\"<](\\.\\./)*(${forbidden_${layer}})/")
  foreach(file ${files})
    file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line ${lines})
      set(bad FALSE)
      if(line MATCHES "${pattern}")
        set(bad TRUE)
      elseif(layer IN_LIST qt_free AND line MATCHES "include[ \t]*${qt}")
        set(bad TRUE)
      endif()
      if(bad)
        file(RELATIVE_PATH shown ${SOURCE_DIR} ${file})
        string(STRIP "${line}" line)
        string(APPEND violations "  src/${shown}: ${line}\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "Includes against the layers:\n${violations}")
endif()
message(STATUS "Layers: every include points downwards")
