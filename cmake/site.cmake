# The line: YD/T 1363.3 framing and the transports, shared by the host and the simulator.
file(GLOB LINE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/line/*.cpp)
add_library(linecore SHARED ${LINE_SOURCES})
target_include_directories(linecore PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(linecore PUBLIC Threads::Threads)
target_compile_options(linecore PRIVATE ${KTR40E_WARNINGS})
set_target_properties(linecore PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The programs' command line (--help, --version, usage errors).
add_library(cmdline STATIC ${CMAKE_SOURCE_DIR}/cmdline/command_line.cpp)
target_include_directories(cmdline PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(cmdline PUBLIC CLI11::CLI11)
target_compile_options(cmdline PRIVATE ${KTR40E_WARNINGS})
target_compile_definitions(cmdline PRIVATE KTR40E_VERSION="${PROJECT_VERSION}")

# The stand-in host: host services, history store, site file, the completed round, trace,
# outputs, the run of a site and commissioning (docs/architecture.md).
set(SITE_ROOMS host store config round trace outputs run discover)
list(TRANSFORM SITE_ROOMS PREPEND ${CMAKE_SOURCE_DIR}/site/ OUTPUT_VARIABLE SITE_ROOM_DIRS)
list(TRANSFORM SITE_ROOM_DIRS APPEND /*.cpp)
file(GLOB SITE_SOURCES CONFIGURE_DEPENDS ${SITE_ROOM_DIRS})
add_library(sitecore SHARED ${SITE_SOURCES})
target_link_libraries(sitecore PUBLIC host_api linecore PkgConfig::JSONCPP Threads::Threads SQLite::SQLite3 PkgConfig::MOSQUITTO ${CMAKE_DL_LIBS})
target_compile_options(sitecore PRIVATE ${KTR40E_WARNINGS})
set_target_properties(sitecore PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The power system simulator: a library for tests and the host's built-in line, and a program.
# It depends on the line alone.
file(GLOB SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
if(SIM_SOURCES)
  add_library(simcore STATIC ${SIM_SOURCES})
  target_link_libraries(simcore PUBLIC linecore PkgConfig::JSONCPP Threads::Threads)
  target_compile_options(simcore PRIVATE ${KTR40E_WARNINGS})
  if(EXISTS ${CMAKE_SOURCE_DIR}/sim/app/main.cpp)
    add_executable(ktr40e-sim ${CMAKE_SOURCE_DIR}/sim/app/main.cpp)
    target_link_libraries(ktr40e-sim PRIVATE simcore cmdline)
    target_compile_options(ktr40e-sim PRIVATE ${KTR40E_WARNINGS})
    set_target_properties(ktr40e-sim PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  endif()
endif()

if(EXISTS ${CMAKE_SOURCE_DIR}/site/app/main.cpp)
  file(GLOB SITEHOST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/site/app/*.cpp)
  add_executable(sitehost ${SITEHOST_SOURCES})
  target_link_libraries(sitehost PRIVATE sitecore cmdline $<$<TARGET_EXISTS:simcore>:simcore>)
  target_compile_options(sitehost PRIVATE ${KTR40E_WARNINGS})
  set_target_properties(sitehost PROPERTIES ENABLE_EXPORTS ON RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  add_dependencies(sitehost ktr40e)
endif()

# The soak test program (not run by CI): host and simulator in one process for hours.
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/soak/main.cpp AND TARGET simcore)
  add_executable(ktr40e-soak ${CMAKE_SOURCE_DIR}/tools/soak/main.cpp)
  target_link_libraries(ktr40e-soak PRIVATE sitecore simcore cmdline)
  target_compile_options(ktr40e-soak PRIVATE ${KTR40E_WARNINGS})
  set_target_properties(ktr40e-soak PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  add_dependencies(ktr40e-soak ktr40e)
endif()
