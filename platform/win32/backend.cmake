enable_language(RC)

set(RUNRELEASE_BACKEND_SOURCES
  platform/win32/registry.cpp
  platform/win32/system.cpp)
set(RUNRELEASE_BACKEND_LIBRARIES advapi32)

# Every program, the tests too, carries its own C++ runtime: nothing beyond the system DLLs.
add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--gc-sections -Wl,--dynamicbase -Wl,--nxcompat)
# No link time in the header: a build of one commit gives the same bytes, wherever and whenever.
add_link_options(-Wl,--no-insert-timestamp)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_link_options(-Wl,--high-entropy-va)
endif()

file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/runrelease_version.h CONTENT [[
#define RUNRELEASE_VERSION_MAJOR @PROJECT_VERSION_MAJOR@
#define RUNRELEASE_VERSION_MINOR @PROJECT_VERSION_MINOR@
#define RUNRELEASE_VERSION_PATCH @PROJECT_VERSION_PATCH@
#define RUNRELEASE_VERSION_TEXT "@PROJECT_VERSION@"
]])

set(RUNRELEASE_WIN32_DIR ${CMAKE_CURRENT_LIST_DIR})

function(runrelease_executable name platform)
  add_executable(${name} WIN32 platform/win32/start.cpp platform/win32/runrelease.rc)
  target_link_libraries(${name} PRIVATE runrelease_core ${platform} runrelease_warnings)
  target_include_directories(${name} PRIVATE ${RUNRELEASE_WIN32_DIR} ${CMAKE_BINARY_DIR}/generated)
  target_link_options(${name} PRIVATE -s)
  set_source_files_properties(platform/win32/runrelease.rc PROPERTIES
    OBJECT_DEPENDS ${RUNRELEASE_WIN32_DIR}/runrelease.manifest)
  # The 32-bit build makes the shipped program: every build checks what Windows will load.
  if(name STREQUAL "runrelease" AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    add_custom_target(${name}-check ALL
      COMMAND sh ${PROJECT_SOURCE_DIR}/tests/check-exe.sh $<TARGET_FILE:${name}> ${PROJECT_VERSION}
      VERBATIM)
    add_dependencies(${name}-check ${name})
  endif()
endfunction()
