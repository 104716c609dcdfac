set(RUNRELEASE_BACKEND_SOURCES
  platform/regformat.cpp
  platform/posix/registry.cpp
  platform/posix/store.cpp
  platform/posix/arguments.cpp
  platform/posix/system.cpp)
set(RUNRELEASE_BACKEND_LIBRARIES "")

function(runrelease_executable name platform)
  add_executable(${name} platform/posix/start.cpp)
  target_link_libraries(${name} PRIVATE runrelease_core ${platform} runrelease_warnings)
endfunction()
